#pragma once

// Helpers of the record store's own files: values as the connections return
// them, and one write transaction around a body.

#include "mfg/records/sql_connection.h"

#include <cstdint>
#include <string>

namespace mfg::records::detail {

inline std::string text(const SqlValue& value) { return value.value_or(std::string()); }

inline std::int64_t number(const SqlValue& value)
{
    if (!value || value->empty())
        return 0;
    std::int64_t result = 0;
    bool negative = false;
    for (std::size_t i = 0; i < value->size(); ++i) {
        const char c = (*value)[i];
        if (i == 0 && c == '-') {
            negative = true;
            continue;
        }
        if (c < '0' || c > '9')
            break;
        result = result * 10 + (c - '0');
    }
    return negative ? -result : result;
}

inline std::string numberText(std::int64_t value) { return std::to_string(value); }
inline std::string numberText(std::uint64_t value) { return std::to_string(value); }

// Runs the body inside a write transaction; any failure rolls it back.
template <typename T, typename Body> platform::Result<T> inWriteTransaction(SqlConnection& sql, Body body)
{
    auto begun = sql.beginWrite();
    if (!begun)
        return begun.error();
    platform::Result<T> result = body();
    if (!result) {
        sql.rollback();
        return result;
    }
    auto committed = sql.commit();
    if (!committed) {
        sql.rollback();
        return committed.error();
    }
    return result;
}

} // namespace mfg::records::detail
