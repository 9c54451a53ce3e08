// Placeholder until the SQLite engine lands.
#include "platform/database.h"
#include "vardenix/error.h"

namespace vardenix {
DatabaseEngine& SystemDatabaseEngine() { throw RuntimeError("the database engine is not available"); }
}  // namespace vardenix
