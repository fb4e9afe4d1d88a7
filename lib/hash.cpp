// Intrusive hash tables (see lib/hash.h).
#include "lib/hash.h"

#include <sys/random.h>

#include <cstdlib>

namespace {

constexpr uint32_t kFirstBuckets = 16;

// Drawn when the program starts, before natd gives up any privilege or
// restricts its system calls.
uint64_t Hash_Seed() {
  uint64_t seed;
  if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) != sizeof seed) seed = uint64_t(rand()) << 32 | uint64_t(rand());
  return seed;
}

const uint64_t g_seed = Hash_Seed();

ListLink *Hash_NewBuckets(uint32_t n) {
  ListLink *b = static_cast<ListLink *>(malloc(n * sizeof(ListLink)));
  if (b)
    for (uint32_t i = 0; i < n; i++) List_Init(&b[i]);
  return b;
}

// Doubles the buckets. Each old chain is walked from its start and its
// records appended to their new chains, so records that share a new chain
// (they all come from the same old one) keep their order.
void Hash_Grow(HashTable *t) {
  uint32_t n = 2 * (t->mask + 1);
  ListLink *b = Hash_NewBuckets(n);
  if (!b) return;
  for (uint32_t i = 0; i <= t->mask; i++) {
    ListLink *chain = &t->buckets[i];
    for (ListLink *l = chain->next, *next; l != chain; l = next) {
      next = l->next;
      List_InsertBefore(&b[reinterpret_cast<HashLink *>(l)->hash & (n - 1)], l);
    }
  }
  free(t->buckets);
  t->buckets = b;
  t->mask = n - 1;
}

bool Hash_Prepare(HashTable *t) {
  if (!t->buckets) {
    t->buckets = Hash_NewBuckets(kFirstBuckets);
    if (!t->buckets) return false;
    t->mask = kFirstBuckets - 1;
  } else if (t->count > t->mask) {
    Hash_Grow(t);
  }
  return true;
}

bool Hash_Link(HashTable *t, HashLink *h, void *owner, uint32_t hash, bool front) {
  if (!Hash_Prepare(t)) return false;
  List_Init(&h->link, owner);
  h->hash = hash;
  ListLink *bucket = &t->buckets[hash & t->mask];
  if (front) List_InsertAfter(bucket, &h->link);
  else List_InsertBefore(bucket, &h->link);
  t->count++;
  return true;
}

}  // namespace

uint32_t Hash_Key(uint64_t key) {
  // The finaliser of a well-known 64-bit mixer: every input bit reaches
  // every output bit.
  uint64_t h = key ^ g_seed;
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDull;
  h ^= h >> 33;
  h *= 0xC4CEB9FE1A85EC53ull;
  h ^= h >> 33;
  return uint32_t(h);
}

bool Hash_Insert(HashTable *t, HashLink *h, void *owner, uint32_t hash) {
  return Hash_Link(t, h, owner, hash, false);
}

bool Hash_InsertFront(HashTable *t, HashLink *h, void *owner, uint32_t hash) {
  return Hash_Link(t, h, owner, hash, true);
}

void Hash_Remove(HashTable *t, HashLink *h) {
  if (!h->link.next || h->link.next == &h->link) return;
  List_Unlink(&h->link);
  t->count--;
}

void Hash_Free(HashTable *t) {
  if (t->count != 0) return;
  free(t->buckets);
  t->buckets = nullptr;
  t->mask = 0;
}
