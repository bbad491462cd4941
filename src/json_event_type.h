// Kinds of change events, their printable names and the DDL test.
#pragma once

#include <cstdint>

namespace ostrel {

enum class EventType : int32_t {
  T_UNKNOWN = 0,
  T_CREATE_DB = 1,
  T_DROP_DB = 2,
  T_CREATE_TABLE = 3,
  T_DROP_TABLE = 4,
  T_CREATE_INDEX = 5,
  T_ALTER_TABLE = 6,
  T_DROP_INDEX = 7,
  T_RENAME_TABLE = 8,
  T_TRUNCATE_TABLE = 9,
  T_CREATE_SEQUENCE = 10,
  T_ALTER_SEQUENCE = 11,
  T_DROP_SEQUENCE = 12,
  T_INSERT = 13,
  T_UPDATE = 14,
  T_DELETE = 15,
  T_GTIDSET = 16,
};

// "UNKNOWN" for every value without a name of its own, the sequence kinds and values outside the
// enumeration included.
const char* getEventTypeStr(EventType type);

// False for exactly T_INSERT, T_UPDATE, T_DELETE and T_GTIDSET; they use the row layout of the block.
bool IsDdlType(EventType type);

}  // namespace ostrel
