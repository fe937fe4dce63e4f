// The doubly linked list that owns its nodes' data.
#include "linkedlist.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "sandbox.h"

namespace {

int* Value(int v) {
    int* p = static_cast<int*>(std::malloc(sizeof(int)));
    *p = v;
    return p;
}

// "v:n" for each node from first to last, checked against the walk from last to first.
std::string Walk(const LinkedList* list) {
    std::string forward;
    std::string backward;
    int count = 0;
    for (const LinkedListNode* n = list->first; n != nullptr; n = n->next, ++count) {
        forward +=
            std::to_string(*static_cast<int*>(n->data)) + ":" + std::to_string(n->number) + " ";
    }
    for (const LinkedListNode* n = list->last; n != nullptr; n = n->previous) {
        backward = std::to_string(*static_cast<int*>(n->data)) + ":" + std::to_string(n->number) +
                   " " + backward;
    }
    EXPECT_EQ(forward, backward);
    EXPECT_EQ(count, list->count);
    return forward;
}

}  // namespace

TEST(LinkedList, InsertAndRemoveAtBothEnds) {
    LinkedList* list = CreateNewLinkedList();
    EXPECT_EQ(list->count, 0);
    EXPECT_EQ(list->nextNumber, 1);
    DeleteLinkedListHead(list);  // empty: nothing happens
    DeleteLinkedListTail(list);

    LinkedListNode* b = CreateLinkedListTail(list, Value(20));
    CreateLinkedListHead(list, Value(10));
    CreateLinkedListTail(list, Value(30));
    EXPECT_EQ(b->list, list);
    EXPECT_EQ(Walk(list), "10:2 20:1 30:3 ");

    DeleteLinkedListHead(list);
    EXPECT_EQ(Walk(list), "20:1 30:3 ");
    DeleteLinkedListTail(list);
    EXPECT_EQ(Walk(list), "20:1 ");
    CreateLinkedListHead(list, Value(5));
    EXPECT_EQ(Walk(list), "5:4 20:1 ");  // numbers are never reused
    DeleteLinkedListTail(list);
    DeleteLinkedListTail(list);
    EXPECT_EQ(list->first, nullptr);
    EXPECT_EQ(list->last, nullptr);
    EXPECT_EQ(Walk(list), "");
    DeleteLinkedList(list);
}

TEST(LinkedList, DeleteNodeAnywhere) {
    struct Case {
        int remove;  // index of the node removed
        const char* left;
    } cases[] = {{0, "2:2 3:3 "}, {1, "1:1 3:3 "}, {2, "1:1 2:2 "}};
    for (const Case& c : cases) {
        LinkedList* list = CreateNewLinkedList();
        LinkedListNode* nodes[3];
        for (int i = 0; i < 3; ++i) {
            nodes[i] = CreateLinkedListTail(list, Value(i + 1));
        }
        DeleteLinkedListNode(nodes[c.remove]);
        EXPECT_EQ(nodes[c.remove]->data, nullptr);
        EXPECT_EQ(Walk(list), c.left) << c.remove;
        std::free(nodes[c.remove]);  // the record stays with the caller
        DeleteLinkedList(list);      // frees the rest (the sanitizer build checks for leaks)
    }
}

TEST(LinkedList, ASingleNodeLeavesAnEmptyList) {
    LinkedList* list = CreateNewLinkedList();
    LinkedListNode* only = CreateLinkedListHead(list, nullptr);
    DeleteLinkedListNode(only);
    std::free(only);
    EXPECT_EQ(list->first, nullptr);
    EXPECT_EQ(list->last, nullptr);
    EXPECT_EQ(list->count, 0);
    DeleteLinkedList(list);
}

TEST(LinkedListDeathTest, InconsistentLinksAreFatal) {
    Sandbox box;
    LinkedList* list = CreateNewLinkedList();
    CreateLinkedListTail(list, Value(1));
    LinkedListNode* middle = CreateLinkedListTail(list, Value(2));
    CreateLinkedListTail(list, Value(3));
    LinkedListNode stray = *middle;
    stray.previous = nullptr;  // claims to be first, but is not
    EXPECT_DEATH(DeleteLinkedListNode(&stray), "");
    EXPECT_NE(box.Log().find("incoherence debut a la ligne No "), std::string::npos) << box.Log();
    EXPECT_EQ(box.Log().find("incoherence fin"), std::string::npos) << box.Log();

    stray = *middle;
    stray.next = nullptr;  // claims to be last, but is not
    EXPECT_DEATH(DeleteLinkedListNode(&stray), "");
    EXPECT_NE(box.Log().find("incoherence fin a la ligne No "), std::string::npos) << box.Log();
    EXPECT_EQ(box.LogLines().size(), 2u) << box.Log();
    for (const std::string& line : box.LogLines()) {
        EXPECT_EQ(line.rfind("crit ", 0), 0u) << line;
        EXPECT_NE(line.find(" du fichier linkedlist "), std::string::npos) << line;
    }
    EXPECT_EQ(Walk(list), "1:1 2:2 3:3 ");  // the stops happened elsewhere: nothing changed here
    DeleteLinkedList(list);
}
