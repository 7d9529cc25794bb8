#include "table/orders.h"

void stepPast(Walk& walk, Position at, Links around) {
    if (walk.next == kNoPosition) return;
    if (at == walk.last) {
        if (walk.next == at) walk.next = kNoPosition;  // it was the walk's last record
        walk.last = around.before;
    }
    if (at == walk.next) walk.next = around.after;
}
