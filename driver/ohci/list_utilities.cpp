#include "list_utilities.h"

PSINGLE_LIST_ENTRY RemoveSingleListEntry(PSINGLE_LIST_ENTRY head, PSINGLE_LIST_ENTRY entry) {
    for (PSINGLE_LIST_ENTRY previous = head; previous->Next != nullptr; previous = previous->Next) {
        if (previous->Next == entry) {
            previous->Next = entry->Next;
            entry->Next = nullptr;
            return entry;
        }
    }
    return nullptr;
}

PLIST_ENTRY RemoveListEntryIfPresent(PLIST_ENTRY head, PLIST_ENTRY entry) {
    for (PLIST_ENTRY current = head->Flink; current != head; current = current->Flink) {
        if (current == entry) {
            RemoveEntryList(entry);
            return entry;
        }
    }
    return nullptr;
}
