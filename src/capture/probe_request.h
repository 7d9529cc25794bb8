// Finds what a probe request's body says about the phone behind it, for linking the random
// addresses of one phone: its sequence number, its information elements, and where its
// directed SSID lies (used only through a keyed hash, never kept as it is).
#pragma once

#include <cstddef>
#include <cstdint>

#include "table/probe_facts.h"

// True for a management frame of subtype 4 whose 24-byte header fits in `captured` bytes.
bool isProbeRequest(const uint8_t* frame, std::size_t captured);

// Reads the probe request at `frame` (`captured` bytes after any checksum was taken off): its
// sequence number, where its elements lie and its directed SSID, all pointing into `frame`.
void readProbeRequest(const uint8_t* frame, std::size_t captured, ProbeFacts& facts);
