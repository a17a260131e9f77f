#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace platform {

// An error with a message meant for a person (or a log line).
struct Error {
    std::string message;
    int code = 0; // errno or a status code, 0 if none
};

// A value or an error. Operations in the programs' own logic return this (or a
// plain success flag) instead of throwing.
template <typename T> class [[nodiscard]] Result {
public:
    Result(T value)
        : m_data(std::move(value))
    {
    }
    Result(Error error)
        : m_data(std::move(error))
    {
    }

    bool ok() const { return m_data.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() & { return std::get<0>(m_data); }
    const T& value() const& { return std::get<0>(m_data); }
    T&& value() && { return std::get<0>(std::move(m_data)); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T&& operator*() && { return std::move(*this).value(); }
    const Error& error() const { return std::get<1>(m_data); }

private:
    std::variant<T, Error> m_data;
};

template <> class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Error error)
        : m_error(std::move(error))
    {
    }
    bool ok() const { return !m_error; }
    explicit operator bool() const { return ok(); }
    const Error& error() const { return *m_error; }

private:
    std::optional<Error> m_error;
};

} // namespace platform

// Early return of the error of a failed Result.
#define SUITE_TRY(expression)                                                                                          \
    do {                                                                                                               \
        auto&& suiteTryResult = (expression);                                                                          \
        if (!suiteTryResult.ok())                                                                                      \
            return suiteTryResult.error();                                                                             \
    } while (0)

#define SUITE_CONCAT_INNER(a, b) a##b
#define SUITE_CONCAT(a, b) SUITE_CONCAT_INNER(a, b)
// `SUITE_TRY_ASSIGN(auto x, makeX());` declares x from the value or returns the error.
#define SUITE_TRY_ASSIGN(declaration, expression)                                                                      \
    auto SUITE_CONCAT(suiteTry, __LINE__) = (expression);                                                              \
    if (!SUITE_CONCAT(suiteTry, __LINE__).ok())                                                                        \
        return SUITE_CONCAT(suiteTry, __LINE__).error();                                                               \
    declaration = std::move(SUITE_CONCAT(suiteTry, __LINE__)).value()
