#include "table/address_index.h"

#include <algorithm>
#include <ctime>
#include <new>
#include <random>

void clearSlots(AddressIndex& index) {
    std::fill(index.slots.begin(), index.slots.end(), 0);
}

std::size_t indexSlotsFor(std::size_t keys, std::size_t positions) {
    std::size_t size = 16;
    while (keys * 4 > size * 3 || positions >= size) size *= 2;
    if (size > (std::size_t{1} << 31)) throw std::bad_alloc();  // no bits left for a tag
    return size;
}

void resizeSlots(AddressIndex& index, std::size_t size) {
    std::size_t oldSize = index.slots.size();
    try {
        std::vector<uint32_t> resized(size);
        index.slots.swap(resized);
    } catch (const std::bad_alloc&) {
        std::vector<uint32_t>().swap(index.slots);
        try {
            index.slots.resize(size);
        } catch (const std::bad_alloc&) {
            try {
                index.slots.resize(oldSize);
            } catch (const std::bad_alloc&) {
            }
            throw;
        }
    }
}

void shrinkSlots(AddressIndex& index, std::size_t size) {
    if (size >= index.slots.size()) return;
    try {
        std::vector<uint32_t> smaller(size);
        index.slots.swap(smaller);
    } catch (const std::bad_alloc&) {
    }
}

uint64_t randomHashKey() {
    try {
        std::random_device device;
        return (uint64_t{device()} << 32) ^ device();
    } catch (...) {
        return static_cast<uint64_t>(std::time(nullptr)) * 0x9E3779B97F4A7C15ull;
    }
}
