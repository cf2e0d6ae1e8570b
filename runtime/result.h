// Result<T>: a value or a named Error, returned instead of throwing.
//
//     Result<int> parse_port(std::string_view s);
//     auto r = parse_port(arg);
//     if (!r) return r.error();
//     use(*r);
#pragma once

#include <cassert>
#include <new>
#include <type_traits>
#include <utility>

#include "runtime/error.h"

namespace fenra {

template <class T>
class [[nodiscard]] Result {
  public:
    Result(const T& v) : ok_(true) { new (&value_) T(v); }
    Result(T&& v) : ok_(true) { new (&value_) T(std::move(v)); }
    Result(Error e) : ok_(false), error_(e) {}
    Result(const Result& o) : ok_(o.ok_) {
        if (ok_)
            new (&value_) T(o.value_);
        else
            error_ = o.error_;
    }
    Result(Result&& o) noexcept : ok_(o.ok_) {
        if (ok_)
            new (&value_) T(std::move(o.value_));
        else
            error_ = o.error_;
    }
    Result& operator=(const Result&) = delete;
    ~Result() {
        if (ok_) value_.~T();
    }

    bool ok() const { return ok_; }
    explicit operator bool() const { return ok_; }
    Error error() const {
        assert(!ok_);
        return error_;
    }
    T& value() {
        assert(ok_);
        return value_;
    }
    const T& value() const {
        assert(ok_);
        return value_;
    }
    T& operator*() { return value(); }
    const T& operator*() const { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T value_or(T fallback) const { return ok_ ? value_ : fallback; }

  private:
    bool ok_;
    union {
        T value_;
        Error error_;
    };
};

template <>
class [[nodiscard]] Result<void> {
  public:
    Result() : ok_(true), error_(Error::Unexpected) {}
    Result(Error e) : ok_(false), error_(e) {}

    bool ok() const { return ok_; }
    explicit operator bool() const { return ok_; }
    Error error() const {
        assert(!ok_);
        return error_;
    }

  private:
    bool ok_;
    Error error_;
};

// Returns early from a function returning Result<...> when EXPR failed.
#define FENRA_TRY(expr)                                 \
    do {                                                \
        auto fenra_try_r_ = (expr);                     \
        if (!fenra_try_r_) return fenra_try_r_.error(); \
    } while (0)

}  // namespace fenra
