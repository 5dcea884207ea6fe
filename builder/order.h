// Ordering the Moves of an in-place patch. Every Move reads the target as
// the Moves before it left it, so a Move that overwrites bytes another Move
// still has to read must come after that one: the copy-order graph has an
// edge from each Move to every other Move whose destination overlaps its
// source. A Move overlapping itself is safe, since Move is overlap-safe.
//
// Cycles are broken by giving up the conflicting part of one copy: in each
// strongly connected component the edge with the smallest overlap is cut by
// trimming those bytes out of the writing Move (or out of the reading one,
// when that avoids splitting a Move in two), and the trimmed bytes become
// literal Writes. This repeats until the graph is acyclic; the Moves then go
// out in a topological order.
#pragma once

#include <cstdint>
#include <vector>

#include "builder/match.h"

struct OrderStats {
  uint64_t edges = 0;         // in the first graph
  uint64_t cuts = 0;          // edges cut to break cycles
  uint64_t literalBytes = 0;  // bytes the cuts turned into literals
  uint64_t rounds = 0;
};

// moves: copies with source != destination, destinations disjoint. ordered
// receives them (trimmed where cycles were cut) in a safe execution order.
void orderMoves(const std::vector<Copy>& moves, std::vector<Copy>* ordered,
                OrderStats* stats);
