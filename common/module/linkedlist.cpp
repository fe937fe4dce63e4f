#include "linkedlist.h"

#include <cstdlib>

#include "logdebug.h"

namespace {

LinkedListNode* NewNode(LinkedList* list, void* data) {
    auto* node = static_cast<LinkedListNode*>(std::calloc(1, sizeof(LinkedListNode)));
    CriticalAssert(node != nullptr, "erreur allocation", "linkedlist", __LINE__);
    node->number = list->nextNumber++;
    node->list = list;
    node->data = data;
    ++list->count;
    return node;
}

}  // namespace

LinkedList* CreateNewLinkedList() {
    auto* list = static_cast<LinkedList*>(std::calloc(1, sizeof(LinkedList)));
    CriticalAssert(list != nullptr, "erreur allocation", "linkedlist", __LINE__);
    list->nextNumber = 1;
    return list;
}

void DeleteLinkedList(LinkedList* list) {
    if (list == nullptr) {
        return;
    }
    while (list->first != nullptr) {
        DeleteLinkedListHead(list);
    }
    std::free(list);
}

LinkedListNode* CreateLinkedListHead(LinkedList* list, void* data) {
    CriticalAssert(list != nullptr, "pointeur nul", "linkedlist", __LINE__);
    LinkedListNode* node = NewNode(list, data);
    node->next = list->first;
    if (list->first != nullptr) {
        list->first->previous = node;
    } else {
        list->last = node;
    }
    list->first = node;
    return node;
}

LinkedListNode* CreateLinkedListTail(LinkedList* list, void* data) {
    CriticalAssert(list != nullptr, "pointeur nul", "linkedlist", __LINE__);
    LinkedListNode* node = NewNode(list, data);
    node->previous = list->last;
    if (list->last != nullptr) {
        list->last->next = node;
    } else {
        list->first = node;
    }
    list->last = node;
    return node;
}

void DeleteLinkedListHead(LinkedList* list) {
    if (list == nullptr || list->first == nullptr) {
        return;
    }
    LinkedListNode* node = list->first;
    DeleteLinkedListNode(node);
    std::free(node);
}

void DeleteLinkedListTail(LinkedList* list) {
    if (list == nullptr || list->last == nullptr) {
        return;
    }
    LinkedListNode* node = list->last;
    DeleteLinkedListNode(node);
    std::free(node);
}

void DeleteLinkedListNode(LinkedListNode* node) {
    if (node == nullptr) {
        return;
    }
    LinkedList* list = node->list;
    CriticalAssert(list != nullptr, "pointeur nul", "linkedlist", __LINE__);
    if (node->previous == nullptr) {
        CriticalAssert(list->first == node, "incoherence debut", "linkedlist", __LINE__);
        list->first = node->next;
    } else {
        node->previous->next = node->next;
    }
    if (node->next == nullptr) {
        CriticalAssert(list->last == node, "incoherence fin", "linkedlist", __LINE__);
        list->last = node->previous;
    } else {
        node->next->previous = node->previous;
    }
    --list->count;
    std::free(node->data);
    node->data = nullptr;
    node->next = nullptr;
    node->previous = nullptr;
    node->list = nullptr;
}
