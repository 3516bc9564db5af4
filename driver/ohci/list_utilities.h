// Removal of entries from the two list shapes the driver keeps.
#pragma once

#include "kxplatform.h"

// Walks a singly linked list from `head`, unlinks `entry` and returns it; null when the entry is
// not on the list (or the list is empty).
PSINGLE_LIST_ENTRY RemoveSingleListEntry(PSINGLE_LIST_ENTRY head, PSINGLE_LIST_ENTRY entry);

// Finds `entry` on the circular doubly linked list at `head` by a walk, unlinks and returns it;
// null when it is not on the list.
PLIST_ENTRY RemoveListEntryIfPresent(PLIST_ENTRY head, PLIST_ENTRY entry);

// Moves every entry of the circular doubly linked list at `head` for which `matches(entry)` holds
// onto `taken` (initialized here), in list order. The caller holds the list's lock; `matches` may
// note on the entry's record that it leaves the list.
template <typename Match>
void TakeMatchingEntries(PLIST_ENTRY head, PLIST_ENTRY taken, Match matches) {
    InitializeListHead(taken);
    for (PLIST_ENTRY e = head->Flink; e != head;) {
        PLIST_ENTRY next = e->Flink;
        if (matches(e)) {
            RemoveEntryList(e);
            InsertTailList(taken, e);
        }
        e = next;
    }
}
