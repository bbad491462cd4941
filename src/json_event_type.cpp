// Printable names and the DDL classification of event kinds.
#include "json_event_type.h"

namespace ostrel {

const char* getEventTypeStr(EventType type) {
  switch (type) {
    case EventType::T_CREATE_DB: return "CREATE_DB";
    case EventType::T_DROP_DB: return "DROP_DB";
    case EventType::T_CREATE_TABLE: return "CREATE_TABLE";
    case EventType::T_DROP_TABLE: return "DROP_TABLE";
    case EventType::T_CREATE_INDEX: return "CREATE_INDEX";
    case EventType::T_ALTER_TABLE: return "ALTER_TABLE";
    case EventType::T_DROP_INDEX: return "DROP_INDEX";
    case EventType::T_RENAME_TABLE: return "RENAME_TABLE";
    case EventType::T_TRUNCATE_TABLE: return "TRUNCATE_TABLE";
    case EventType::T_INSERT: return "INSERT";
    case EventType::T_UPDATE: return "UPDATE";
    case EventType::T_DELETE: return "DELETE";
    case EventType::T_GTIDSET: return "GTIDSET";
    default: return "UNKNOWN";
  }
}

bool IsDdlType(EventType type) {
  switch (type) {
    case EventType::T_INSERT:
    case EventType::T_UPDATE:
    case EventType::T_DELETE:
    case EventType::T_GTIDSET:
      return false;
    default:
      return true;
  }
}

}  // namespace ostrel
