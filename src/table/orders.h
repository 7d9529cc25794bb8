// Orders of records: doubly linked chains through links kept in each record, so that a record
// joins or leaves an order in constant time and never moves. A chain holds only its ends; the
// caller says where a record's links for that order live, as `linksOf(Position) -> Links&`.
// A Walk follows one order while records leave it meanwhile (see stepPast).
#pragma once

#include "table/position.h"

// A record's neighbours in one order.
struct Links {
    Position before = kNoPosition;
    Position after = kNoPosition;
};

// The ends of one order.
struct Chain {
    Position first = kNoPosition;
    Position last = kNoPosition;
};

// Appends `at` at the end of `chain`.
template <class LinksOf>
void append(Chain& chain, LinksOf linksOf, Position at) {
    linksOf(at) = Links{chain.last, kNoPosition};
    if (chain.last != kNoPosition) {
        linksOf(chain.last).after = at;
    } else {
        chain.first = at;
    }
    chain.last = at;
}

// Takes `at` out of `chain`, joining its neighbours.
template <class LinksOf>
void unlink(Chain& chain, LinksOf linksOf, Position at) {
    Links around = linksOf(at);
    if (around.before != kNoPosition) {
        linksOf(around.before).after = around.after;
    } else {
        chain.first = around.after;
    }
    if (around.after != kNoPosition) {
        linksOf(around.after).before = around.before;
    } else {
        chain.last = around.before;
    }
}

// Moves `at`, in `chain` or not yet, to the end of `chain`. A record out of the chain must have
// default links.
template <class LinksOf>
void moveToEnd(Chain& chain, LinksOf linksOf, Position at) {
    if (chain.last == at) return;
    bool listed = linksOf(at).before != kNoPosition || chain.first == at;
    if (listed) unlink(chain, linksOf, at);
    append(chain, linksOf, at);
}

// A walk along an order, taken up piece by piece: the next record to visit and the walk's last
// one; `next` is kNoPosition when the walk is over.
struct Walk {
    Position next = kNoPosition;
    Position last = kNoPosition;
};

// Keeps `walk` on records still in the order when `at`, whose links in it are `around`, leaves
// it. Call before unlinking.
void stepPast(Walk& walk, Position at, Links around);
