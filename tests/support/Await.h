#pragma once

#include <QCoro/QCoroTask>
#include <QtCore/QEventLoop>

#include <exception>
#include <optional>
#include <type_traits>

namespace TestSupport {

// Runs a coroutine to its end in a nested event loop and returns its result, rethrowing what it
// threw. (QCoro's own waitFor never returns when the awaited task throws.)
template <typename T> T await(QCoro::Task<T> task)
{
    constexpr bool isVoid = std::is_void_v<T>;
    QEventLoop loop;
    std::exception_ptr error;
    bool done = false;
    std::optional<std::conditional_t<isVoid, bool, T>> result;
    auto runner = [&]() -> QCoro::Task<> {
        try {
            if constexpr (isVoid) {
                co_await task;
            } else {
                result.emplace(co_await task);
            }
        } catch (...) {
            error = std::current_exception();
        }
        done = true;
        loop.quit();
    };
    auto running = runner();
    if (!done) {
        loop.exec();
    }
    if (error) {
        std::rethrow_exception(error);
    }
    if constexpr (!isVoid) {
        return std::move(*result);
    }
}

} // namespace TestSupport
