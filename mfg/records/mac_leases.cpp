// The shared MAC range: leases, their end (consumed, given back or
// quarantined) and the leases of stations that are gone.

#include "mfg/records/record_store.h"
#include "mfg/records/sql_values.h"

namespace mfg::records {

using platform::Error;
using platform::Result;
using namespace detail;

Result<std::optional<MacRange>> RecordStore::macRange()
{
    auto rows = m_sql->exec("SELECT first_mac, end_mac, next_mac,"
                            " (SELECT count(*) FROM mac_lease WHERE consumed = 1),"
                            " (SELECT count(*) FROM mac_lease WHERE consumed = 0),"
                            " (SELECT count(*) FROM mac_free), (SELECT count(*) FROM mac_quarantine)"
                            " FROM mac_range WHERE id = 1");
    if (!rows)
        return rows.error();
    if (rows.value().rows.empty())
        return std::optional<MacRange>();
    const SqlRow& row = rows.value().rows[0];
    MacRange range;
    range.first = static_cast<std::uint64_t>(number(row[0]));
    range.end = static_cast<std::uint64_t>(number(row[1]));
    range.next = static_cast<std::uint64_t>(number(row[2]));
    range.used = number(row[3]);
    range.leased = number(row[4]);
    range.free = number(row[5]);
    range.quarantined = number(row[6]);
    return std::optional<MacRange>(range);
}

Result<bool> RecordStore::seedMacRange(std::uint64_t first, std::uint64_t end)
{
    return inWriteTransaction<bool>(*m_sql, [&]() -> Result<bool> {
        // Stations started together all try: the row's key lets one in and
        // the others find it there, where a check before the insert would
        // let two through and fail the second on the key.
        auto inserted = m_sql->exec("INSERT INTO mac_range (id, first_mac, end_mac, next_mac)"
                                    " VALUES (1, CAST($1 AS BIGINT), CAST($2 AS BIGINT), CAST($1 AS BIGINT))"
                                    " ON CONFLICT (id) DO NOTHING",
            { numberText(first), numberText(end) });
        if (!inserted)
            return inserted.error();
        return inserted.value().changed > 0;
    });
}

Result<int> RecordStore::reclaimDeadLeases()
{
    auto holders = m_sql->exec("SELECT DISTINCT holder FROM mac_lease WHERE consumed = 0");
    if (!holders)
        return holders.error();
    int reclaimed = 0;
    for (const SqlRow& row : holders.value().rows) {
        const std::string holder = text(row[0]);
        if (m_sql->isHolder(holder) || m_sql->holderAlive(holder))
            continue;
        auto given = inWriteTransaction<int>(*m_sql, [&]() -> Result<int> {
            // Deleted first: a station starting at the same moment that gives
            // back the same leases waits for these rows and then finds none,
            // instead of putting the addresses into mac_free a second time.
            auto gone = m_sql->exec(
                "DELETE FROM mac_lease WHERE holder = $1 AND consumed = 0 RETURNING mac, written, station", { holder });
            if (!gone)
                return gone.error();
            for (const SqlRow& lease : gone.value().rows) {
                // Written into a board that nobody saw pass: it may be out
                // there, so it is never handed out again.
                auto back = number(lease[1]) != 0
                    ? m_sql->exec("INSERT INTO mac_quarantine (mac, station, quarantined_at, reason)"
                                  " VALUES ($1, $2, $3, $4) ON CONFLICT (mac) DO NOTHING",
                        { lease[0], lease[2], utcNow(), "the station stopped after writing it into a board" })
                    : m_sql->exec("INSERT INTO mac_free (mac) VALUES ($1)", { lease[0] });
                if (!back)
                    return back.error();
            }
            return static_cast<int>(gone.value().rows.size());
        });
        if (!given)
            return given.error();
        m_sql->forgetHolder(holder);
        reclaimed += given.value();
    }
    m_sql->forgetGoneHolders();
    return reclaimed;
}

Result<std::optional<MacLease>> RecordStore::leaseMac(const std::string& station)
{
    auto me = m_sql->holder();
    if (!me)
        return me.error();
    const std::string holder = me.value();
    return inWriteTransaction<std::optional<MacLease>>(*m_sql, [&]() -> Result<std::optional<MacLease>> {
        // A concurrent station may take the same given-back address first:
        // then this delete finds nothing and a new address is taken.
        auto reused = m_sql->exec("DELETE FROM mac_free WHERE mac = (SELECT min(mac) FROM mac_free) RETURNING mac");
        if (!reused)
            return reused.error();
        SqlValue mac;
        if (!reused.value().rows.empty()) {
            mac = reused.value().rows[0][0];
        } else {
            auto stepped = m_sql->exec("UPDATE mac_range SET next_mac = next_mac + 1"
                                       " WHERE id = 1 AND next_mac <= end_mac RETURNING next_mac - 1");
            if (!stepped)
                return stepped.error();
            if (stepped.value().rows.empty())
                return std::optional<MacLease>();
            mac = stepped.value().rows[0][0];
        }
        auto held = m_sql->exec("INSERT INTO mac_lease (mac, holder, station, leased_at, consumed)"
                                " VALUES ($1, $2, $3, $4, 0)",
            { mac, holder, station, utcNow() });
        if (!held)
            return held.error();
        return std::optional<MacLease>(MacLease { static_cast<std::uint64_t>(number(mac)) });
    });
}

Result<void> RecordStore::markWritten(const MacLease& lease)
{
    auto me = m_sql->holder();
    if (!me)
        return me.error();
    auto done = inWriteTransaction<int>(*m_sql, [&]() -> Result<int> {
        auto marked = m_sql->exec("UPDATE mac_lease SET written = 1 WHERE mac = $1 AND holder = $2 AND consumed = 0",
            { numberText(lease.mac), me.value() });
        if (!marked)
            return marked.error();
        if (marked.value().changed != 1)
            return Error { "MAC " + macText(lease.mac) + " is no longer held by this station" };
        return 1;
    });
    if (!done)
        return done.error();
    return {};
}

Result<std::int64_t> RecordStore::consumeMac(const MacLease& lease, const RunRecord& run)
{
    auto me = m_sql->holder();
    if (!me)
        return me.error();
    return inWriteTransaction<std::int64_t>(*m_sql, [&]() -> Result<std::int64_t> {
        auto used = m_sql->exec("UPDATE mac_lease SET consumed = 1 WHERE mac = $1 AND holder = $2 AND consumed = 0",
            { numberText(lease.mac), me.value() });
        if (!used)
            return used.error();
        if (used.value().changed != 1)
            return Error { "MAC " + macText(lease.mac) + " is no longer held by this station" };
        return insertRun(run);
    });
}

Result<void> RecordStore::releaseMac(const MacLease& lease)
{
    auto me = m_sql->holder();
    if (!me)
        return me.error();
    auto done = inWriteTransaction<int>(*m_sql, [&]() -> Result<int> {
        auto gone = m_sql->exec("DELETE FROM mac_lease WHERE mac = $1 AND holder = $2 AND consumed = 0",
            { numberText(lease.mac), me.value() });
        if (!gone)
            return gone.error();
        // Someone already gave it back (this station was taken for dead):
        // nothing more to do.
        if (gone.value().changed == 0)
            return 0;
        auto back = m_sql->exec("INSERT INTO mac_free (mac) VALUES ($1)", { numberText(lease.mac) });
        if (!back)
            return back.error();
        return 1;
    });
    if (!done)
        return done.error();
    return {};
}

Result<void> RecordStore::quarantineMac(const MacLease& lease, const std::string& station, const std::string& reason)
{
    auto me = m_sql->holder();
    if (!me)
        return me.error();
    auto done = inWriteTransaction<int>(*m_sql, [&]() -> Result<int> {
        // Consumed too: a commit whose answer was lost may have consumed it.
        auto gone = m_sql->exec("DELETE FROM mac_lease WHERE mac = $1 AND holder = $2 RETURNING consumed",
            { numberText(lease.mac), me.value() });
        if (!gone)
            return gone.error();
        // Taken for dead meanwhile: the address was quarantined then, or it
        // was never written (and this station did not write it either).
        if (gone.value().rows.empty())
            return 0;
        if (number(gone.value().rows[0][0]) != 0) {
            auto corrected = m_sql->exec("UPDATE runs SET outcome = 'fail', result_message = $1"
                                         " WHERE mac = $2 AND station = $3 AND outcome = 'pass' AND mac_from_store = 1",
                { reason, macText(lease.mac), station });
            if (!corrected)
                return corrected.error();
        }
        auto kept = m_sql->exec("INSERT INTO mac_quarantine (mac, station, quarantined_at, reason)"
                                " VALUES ($1, $2, $3, $4) ON CONFLICT (mac) DO NOTHING",
            { numberText(lease.mac), station, utcNow(), reason });
        if (!kept)
            return kept.error();
        return 1;
    });
    if (!done)
        return done.error();
    return {};
}

Result<std::vector<QuarantinedMac>> RecordStore::quarantinedMacs()
{
    auto rows = m_sql->exec("SELECT mac, station, quarantined_at, reason FROM mac_quarantine ORDER BY mac");
    if (!rows)
        return rows.error();
    std::vector<QuarantinedMac> macs;
    for (const SqlRow& row : rows.value().rows)
        macs.push_back({ static_cast<std::uint64_t>(number(row[0])), text(row[1]), text(row[2]), text(row[3]) });
    return macs;
}

} // namespace mfg::records
