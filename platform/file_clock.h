#pragma once

#include "platform/clock.h"
#include "platform/result.h"

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// Time read from a file that another process moves on: a program and the
// simulators it talks to, each a process of its own, then share one time.
// The file holds the time as 8 bytes (nanoseconds, the machine's byte order)
// at its start, written whole by one writer and read whole here. A test
// moves it only while every process that reads it sleeps, so however busy
// the machine is, no process finds that time went by while it could not act.
class FileClock final : public Clock {
public:
    static Result<std::unique_ptr<FileClock>> open(const std::string& path);
    ~FileClock() override;
    FileClock(const FileClock&) = delete;
    FileClock& operator=(const FileClock&) = delete;

    TimePoint now() const override;
    WallTime wallNow() const override;
    void sleepFor(Duration duration) override;

protected:
    // Waits poll in short slices: the time moves on without telling.
    Duration realSlice(Duration clockTime) const override;

private:
    explicit FileClock(const std::int64_t* time);

    const std::int64_t* m_time;
};

} // namespace platform
