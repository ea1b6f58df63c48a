// Read planning: the host's cyclic variables in register terms, sorted by
// group and register for the merge into read blocks.
#ifndef READ_PLANNING_H
#define READ_PLANNING_H

#include "plc_driver.h"

// One variable (or, with several stations, one piece of it) in register
// terms, with the host's record whose texts a block copies when this
// variable opens it.
struct PlannedRead {
    int group = 0; // groups merge apart, in this order
    int area = 0;
    int station = 0;
    qint64 first = 0; // first register
    qint64 count = 0; // registers
    qint64 rank = 0;  // among reads at the same register, the lowest opens a block
    const HOSTVAR *host = nullptr;
};

#endif // READ_PLANNING_H
