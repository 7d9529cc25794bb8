#include "table/blocks.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <new>

namespace {

void* mapMemory(std::size_t bytes) {
    void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return memory == MAP_FAILED ? nullptr : memory;
}

// Zeroed memory for one block, from the system; its pages are committed only when written.
// Mapped twice as large and trimmed to an aligned block where the address space allows.
Block mapBlock() {
    char* memory = static_cast<char*>(mapMemory(2 * kBlockBytes));
    if (memory) {
        std::uintptr_t address = reinterpret_cast<std::uintptr_t>(memory);
        std::size_t head = (kBlockBytes - address % kBlockBytes) % kBlockBytes;
        if (head > 0) munmap(memory, head);
        munmap(memory + head + kBlockBytes, kBlockBytes - head);
        memory += head;
    } else {
        memory = static_cast<char*>(mapMemory(kBlockBytes));
        if (!memory) throw std::bad_alloc();
    }
#ifdef MADV_HUGEPAGE
    madvise(memory, kBlockBytes, MADV_HUGEPAGE);  // refused where the kernel has none: fine
#endif
    return Block(reinterpret_cast<Node*>(memory));
}

// Maps a block into the first hole left by a block handed back, or after the last, and makes
// it the one new records are taken from. std::bad_alloc leaves the blocks as they were.
void addBlock(Blocks& blocks) {
    Block block = mapBlock();
    auto hole = std::find_if(blocks.held.begin(), blocks.held.end(),
                             [](const HeldBlock& held) { return !held.nodes; });
    std::size_t index = hole - blocks.held.begin();
    std::vector<AddressLink> links(blocks.withLinks ? kBlockRecords : 0);
    if (hole == blocks.held.end()) blocks.held.emplace_back();
    blocks.held[index] = {std::move(block), std::move(links)};
    blocks.fresh = static_cast<Position>(index * kBlockRecords);
}

// Hands back the blocks' trailing holes.
void trimHoles(Blocks& blocks) {
    while (!blocks.held.empty() && !blocks.held.back().nodes) blocks.held.pop_back();
}

// True when block `b` holds a record, looking at its nodes before `used`.
bool blockInUse(const Blocks& blocks, std::size_t b, Position used) {
    for (Position i = 0; i < used; ++i) {
        if (blocks.held[b].nodes[i].entry.count != 0) return true;
    }
    return false;
}

}  // namespace

void BlockUnmap::operator()(Node* nodes) const {
    munmap(nodes, kBlockBytes);
}

std::size_t capacityOf(const Blocks& blocks) {
    return kBlockRecords * static_cast<std::size_t>(std::count_if(
                               blocks.held.begin(), blocks.held.end(),
                               [](const HeldBlock& held) { return held.nodes != nullptr; }));
}

void reserveNode(Blocks& blocks) {
    if (blocks.freeNodes != kNoPosition || blocks.fresh != kNoPosition) return;
    if (positionSpan(blocks) + kBlockRecords > kNoPosition) throw std::bad_alloc();
    addBlock(blocks);
}

Position takeNode(Blocks& blocks) {
    Position at;
    if (blocks.freeNodes != kNoPosition) {
        at = blocks.freeNodes;
        blocks.freeNodes = nodeAt(blocks, at).order.after;
    } else {
        at = blocks.fresh++;
        if (blocks.fresh % kBlockRecords == 0) blocks.fresh = kNoPosition;
    }
    nodeAt(blocks, at) = Node{};
    if (blocks.withLinks) linkAt(blocks, at) = AddressLink{};
    return at;
}

void freeNode(Blocks& blocks, Position at) {
    nodeAt(blocks, at).entry.count = 0;
    nodeAt(blocks, at).order.after = blocks.freeNodes;
    blocks.freeNodes = at;
}

void releaseEmptyBlocks(Blocks& blocks, std::size_t records) {
    std::size_t capacity = capacityOf(blocks);
    if (capacity < 4 * kBlockRecords || records * 4 > capacity) return;
    blocks.freeNodes = kNoPosition;
    for (std::size_t b = blocks.held.size(); b-- > 0;) {
        if (!blocks.held[b].nodes) continue;
        const Position base = static_cast<Position>(b * kBlockRecords);
        bool freshHere = blocks.fresh != kNoPosition && blocks.fresh - base < kBlockRecords;
        // Nodes at and after the frontier were never used: they stay out of the free list.
        Position used = freshHere ? blocks.fresh - base : kBlockRecords;
        if (!blockInUse(blocks, b, used)) {
            blocks.held[b] = HeldBlock{};
            if (freshHere) blocks.fresh = kNoPosition;
            continue;
        }
        for (Position i = used; i-- > 0;) {
            if (blocks.held[b].nodes[i].entry.count == 0) freeNode(blocks, base + i);
        }
    }
    trimHoles(blocks);
}

void releaseAll(Blocks& blocks) {
    blocks.held.clear();
    blocks.freeNodes = kNoPosition;
    blocks.fresh = kNoPosition;
}
