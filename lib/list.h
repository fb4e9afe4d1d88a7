// Intrusive doubly linked lists: the links every table of the daemon uses.
//
// A table is a sentinel ListLink; records embed a ListLink whose owner points
// back at the record. A link that is in no list is linked to itself.
#pragma once

struct ListLink {
  ListLink *next;
  ListLink *prev;
  void *owner;  // the record that embeds this link (sentinels: nullptr)
};

/// Makes `l` an empty list / an unlinked link owned by `owner`.
inline void List_Init(ListLink *l, void *owner = nullptr) {
  l->next = l;
  l->prev = l;
  l->owner = owner;
}

/// True when the sentinel `head` holds no records (or `l` is unlinked).
inline bool List_Empty(const ListLink *head) { return head->next == head; }

/// Links `item` in front of `pos`; List_InsertBefore(head, x) appends x.
inline void List_InsertBefore(ListLink *pos, ListLink *item) {
  item->next = pos;
  item->prev = pos->prev;
  pos->prev->next = item;
  pos->prev = item;
}

/// Links `item` right after `pos`; List_InsertAfter(head, x) prepends x.
inline void List_InsertAfter(ListLink *pos, ListLink *item) {
  List_InsertBefore(pos->next, item);
}

/// Unlinks `item` and links it to itself; harmless when it is unlinked.
inline void List_Unlink(ListLink *item) {
  item->prev->next = item->next;
  item->next->prev = item->prev;
  item->next = item;
  item->prev = item;
}

/// The record that embeds `l`, typed.
template <typename T>
inline T *List_Owner(const ListLink *l) {
  return static_cast<T *>(l->owner);
}
