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
    QEventLoop loop;
    std::exception_ptr error;
    bool done = false;
    if constexpr (std::is_void_v<T>) {
        auto runner = [&]() -> QCoro::Task<> {
            try {
                co_await task;
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
    } else {
        std::optional<T> result;
        auto runner = [&]() -> QCoro::Task<> {
            try {
                result.emplace(co_await task);
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
        return std::move(*result);
    }
}

} // namespace TestSupport
