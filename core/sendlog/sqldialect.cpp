#include "core/sendlog/sqldialect.h"

#include "core/sendlog/postgresdialect.h"
#include "core/sendlog/sqlitedialect.h"

std::unique_ptr<SqlDialect> SqlDialect::forLocation(const StoreLocation& location)
{
    if (location.kind == StoreLocation::Kind::PostgreSQL)
        return std::make_unique<PostgresDialect>(location);
    return std::make_unique<SqliteDialect>(location.path);
}
