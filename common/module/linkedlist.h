// A doubly linked list that owns what its nodes carry (freed with free()).
#pragma once

struct LinkedList;

struct LinkedListNode {
    int number;                // from the list's counter, starting at 1
    LinkedList* list;          // owning list
    LinkedListNode* next;      // towards the last node
    LinkedListNode* previous;  // towards the first node
    void* data;                // malloc'd, owned by the list
};

struct LinkedList {
    LinkedListNode* first;
    LinkedListNode* last;
    int count;
    int nextNumber;
};

LinkedList* CreateNewLinkedList();
// Removes every node from the front, then frees the list.
void DeleteLinkedList(LinkedList* list);
LinkedListNode* CreateLinkedListHead(LinkedList* list, void* data);
LinkedListNode* CreateLinkedListTail(LinkedList* list, void* data);
void DeleteLinkedListHead(LinkedList* list);
void DeleteLinkedListTail(LinkedList* list);
// Unlinks the node and frees its data; the node record itself stays with the caller.
void DeleteLinkedListNode(LinkedListNode* node);
