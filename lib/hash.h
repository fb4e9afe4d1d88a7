// Intrusive hash tables: the index that makes a table's lookup cost
// independent of its size. Records keep their own list (the table's order)
// and embed a HashLink besides; the hash table only finds them.
//
// Each bucket is a ListLink sentinel, so a chain keeps the order in which
// its records were inserted (Hash_Insert: at the chain's end, so the first
// match is the oldest; Hash_InsertFront: at its start, so the first match
// is the newest). Growing the table keeps that order for records of equal
// key. The hash of a key is keyed with a random per-process value, so
// guests cannot choose keys that fall into one chain.
//
// A zero-filled HashTable is empty; it allocates its buckets on the first
// insertion and doubles them whenever it holds as many records as buckets.
#pragma once

#include <cstdint>

#include "lib/list.h"

struct HashLink {
  ListLink link;  // chain membership; owner = the record
  uint32_t hash;
};

struct HashTable {
  ListLink *buckets;  // mask + 1 sentinels, or nullptr before the first insertion
  uint32_t mask;
  uint32_t count;
};

/// The keyed hash of a 64-bit key.
uint32_t Hash_Key(uint64_t key);

/// Links `h` (owned by `owner`) at the end of its chain. False only when
/// the first buckets cannot be allocated (nothing is linked then); a table
/// that cannot grow keeps its buckets and longer chains.
bool Hash_Insert(HashTable *t, HashLink *h, void *owner, uint32_t hash);

/// As Hash_Insert, at the start of the chain.
bool Hash_InsertFront(HashTable *t, HashLink *h, void *owner, uint32_t hash);

/// Unlinks `h` from its chain; harmless when it is not linked (also when
/// it was zero-filled and never inserted).
void Hash_Remove(HashTable *t, HashLink *h);

/// Frees the buckets of an empty table (reset and shutdown).
void Hash_Free(HashTable *t);

/// The first record in `hash`'s chain for which match(record) holds, in
/// chain order, or nullptr.
template <typename T, typename Match>
T *Hash_Find(const HashTable *t, uint32_t hash, Match match) {
  if (!t->buckets) return nullptr;
  const ListLink *chain = &t->buckets[hash & t->mask];
  for (const ListLink *l = chain->next; l != chain; l = l->next) {
    T *record = List_Owner<T>(l);
    if (reinterpret_cast<const HashLink *>(l)->hash == hash && match(record)) return record;
  }
  return nullptr;
}
