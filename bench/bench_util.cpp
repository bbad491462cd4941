// Event shapes for the benchmarks.
#include "bench_util.h"

#include <random>

namespace benchutil {

cdchost::Event NarrowInsert(uint64_t seed) {
  std::mt19937_64 rng(seed);
  cdchost::Event e;
  e.type = ostrel::EventType::T_INSERT;
  e.db = "shop";
  e.tb = "orders";
  e.gtid = "3e11fa47-71ca-11e1-9e33-c80aa9429562:1234567";
  e.xid = "987654";
  for (int c = 0; c < 10; ++c) {
    e.col_names.push_back("column_" + std::to_string(c));
    e.col_states.push_back(253);
  }
  std::vector<std::string> row;
  for (int c = 0; c < 10; ++c) row.push_back(std::string(8 + rng() % 33, 'v'));
  e.rows.push_back(row);
  return e;
}

cdchost::Event DocInsert(size_t doc_bytes) {
  cdchost::Event e;
  e.type = ostrel::EventType::T_INSERT;
  e.db = "shop";
  e.tb = "docs";
  e.gtid = "3e11fa47-71ca-11e1-9e33-c80aa9429562:1";
  e.xid = "1";
  e.col_names = {"id", "optype", "doc"};
  e.col_states = {3, 253, 245};
  std::string doc = "{\"payload\":\"";
  if (doc_bytes > doc.size() + 2) doc.append(doc_bytes - doc.size() - 2, 'x');
  doc += "\"}";
  e.rows = {{"42", "'insert'", "'" + doc + "'"}};
  return e;
}

cdchost::Event WideUpdate(size_t rows) {
  cdchost::Event e;
  e.type = ostrel::EventType::T_UPDATE;
  e.db = "shop";
  e.tb = "stock";
  e.gtid = "3e11fa47-71ca-11e1-9e33-c80aa9429562:99";
  e.xid = "99";
  e.col_names = {"id", "sku", "qty", "price", "updated", "note"};
  e.col_states = {3, 253, 3, 246, 18, 252};
  for (size_t r = 0; r < rows; ++r) {
    std::vector<std::string> v = {std::to_string(r), "'SKU-" + std::to_string(r) + "'", "12", "19.99",
                                  "'2026-12-08 10:00:00'", "'restocked'"};
    e.olds.push_back(v);
    v[2] = "13";
    e.rows.push_back(v);
  }
  return e;
}

cdchost::Event Ddl() {
  cdchost::Event e;
  e.type = ostrel::EventType::T_ALTER_TABLE;
  e.db = "shop";
  e.tb = "orders";
  e.gtid = "3e11fa47-71ca-11e1-9e33-c80aa9429562:7";
  e.sql = "ALTER TABLE orders ADD COLUMN note VARCHAR(255) NULL AFTER status, ADD INDEX idx_note (note)";
  e.xid = "7";
  return e;
}

cdchost::Event Columns(size_t columns) {
  cdchost::Event e;
  e.type = ostrel::EventType::T_INSERT;
  e.db = "db";
  e.tb = "t";
  std::vector<std::string> row;
  for (size_t c = 0; c < columns; ++c) {
    e.col_names.push_back("c" + std::to_string(c));
    e.col_states.push_back(3);
    row.push_back(std::string(16, 'v'));
  }
  e.rows = {row};
  return e;
}

size_t FieldCount(const cdchost::Event& e) {
  if (ostrel::IsDdlType(e.type)) return 9;
  size_t images = e.rows.size() * (e.type == ostrel::EventType::T_UPDATE ? 2 : 1);
  return 4 + 1 + 2 * e.col_names.size() + 1 + images * e.col_names.size() + 5;
}

}  // namespace benchutil
