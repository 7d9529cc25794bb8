// Where records live: blocks of nodes that never move, so the table grows without a second copy
// of itself, and a node is named by its Position (block number * kBlockRecords + place).
// Blocks hand out nodes for new records (a dropped one first, else a never-used one), take them
// back, and give whole blocks back to the system after a large cull. A node whose entry.count is
// 0 is free; a free node's order.after links the free list. What the records mean, how they are
// found and ordered is the table's business.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "table/device_linker.h"
#include "table/entry.h"
#include "table/orders.h"
#include "table/position.h"

// A record with its links: the order of first appearance, and (with a cap) the order in
// which records were last heard, least recent first.
struct Node {
    Entry entry;    // count 0 marks a free node
    Links order;    // first appearance; for a free node, order.after links the free list
    Links recency;  // last heard, kept only with a cap
};

// A block is 2 MiB mapped from the system at once, aligned so that the kernel may back it with
// one huge page (fewer TLB misses in a large table); its pages are only taken as records fill it.
constexpr std::size_t kBlockBytes = std::size_t{2} << 20;
constexpr Position kBlockRecords = kBlockBytes / sizeof(Node);

// Hands a block's pages back to the system.
struct BlockUnmap {
    void operator()(Node* nodes) const;
};
using Block = std::unique_ptr<Node[], BlockUnmap>;

// A block of nodes and, with `Blocks.withLinks`, its records' links to device groups
// (device_linker.h), so that a frame's address is looked up once; a table that does not count
// devices keeps none and pays nothing for them.
struct HeldBlock {
    Block nodes;  // null where a block was handed back
    std::vector<AddressLink> links;
};

struct Blocks {
    std::vector<HeldBlock> held;
    bool withLinks = false;
    Position freeNodes = kNoPosition;  // nodes dropped, ready for new records
    Position fresh = kNoPosition;      // the next never-used node of the newest block
};

inline Node& nodeAt(const Blocks& blocks, Position position) {
    return blocks.held[position / kBlockRecords].nodes[position % kBlockRecords];
}

// The device link of the record at `position`, in blocks `withLinks`.
inline AddressLink& linkAt(Blocks& blocks, Position position) {
    return blocks.held[position / kBlockRecords].links[position % kBlockRecords];
}

inline const AddressLink& linkAt(const Blocks& blocks, Position position) {
    return blocks.held[position / kBlockRecords].links[position % kBlockRecords];
}

// Positions in use span this many, holes left by blocks handed back included.
inline std::size_t positionSpan(const Blocks& blocks) {
    return blocks.held.size() * kBlockRecords;
}

// Nodes the blocks held can take.
std::size_t capacityOf(const Blocks& blocks);

// Makes sure takeNode has a node to give, mapping a block when none is left; std::bad_alloc when
// the system has no memory or the positions run out (the blocks are then as they were).
void reserveNode(Blocks& blocks);

// A zeroed node (and link) for a new record, after reserveNode.
Position takeNode(Blocks& blocks);

// Gives the node at `at` back: it is free from now on.
void freeNode(Blocks& blocks, Position at);

// After a large cull (`records` live ones left, a quarter of the capacity or fewer), hands back
// the blocks left without a record, so that one burst of random addresses does not pin memory
// for the rest of the run, and refills the free list from the rest. Needs no memory: it runs
// when memory may be short.
void releaseEmptyBlocks(Blocks& blocks, std::size_t records);

// Hands every block back: the blocks as they were at start.
void releaseAll(Blocks& blocks);
