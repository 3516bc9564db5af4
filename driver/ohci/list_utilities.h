// Removal of a given entry from the two list shapes the driver keeps.
#pragma once

#include "kxplatform.h"

// Walks a singly linked list from `head`, unlinks `entry` and returns it; null when the entry is
// not on the list (or the list is empty).
PSINGLE_LIST_ENTRY RemoveSingleListEntry(PSINGLE_LIST_ENTRY head, PSINGLE_LIST_ENTRY entry);

// Finds `entry` on the circular doubly linked list at `head` by a walk, unlinks and returns it;
// null when it is not on the list.
PLIST_ENTRY RemoveListEntryIfPresent(PLIST_ENTRY head, PLIST_ENTRY entry);
