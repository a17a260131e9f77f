#include "mfg/records/sql_connection.h"

namespace mfg::records {

platform::Result<void> SqlConnection::commit()
{
    auto done = exec("COMMIT");
    if (!done)
        return done.error();
    return {};
}

void SqlConnection::rollback() { (void)exec("ROLLBACK"); }

} // namespace mfg::records
