// Shared pieces of the benchmarks: event shapes, allocation counting and resident memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "block_encoder.h"

namespace benchutil {

// A narrow insert: 10 columns, 1 row, values of 8 to 40 bytes.
cdchost::Event NarrowInsert(uint64_t seed = 1);
// An insert with an optype column and a doc column of doc_bytes.
cdchost::Event DocInsert(size_t doc_bytes);
// An update of rows rows, 6 columns each (old and new images).
cdchost::Event WideUpdate(size_t rows);
// A DDL event with a realistic statement.
cdchost::Event Ddl();
// An insert of one row with `columns` columns of 16-byte values.
cdchost::Event Columns(size_t columns);

// Fields in the event's stream (what the decoder steps through).
size_t FieldCount(const cdchost::Event& e);

}  // namespace benchutil
