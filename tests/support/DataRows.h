#pragma once

#include <QtCore/QString>
#include <QtTest/QTest>

#include <tuple>
#include <type_traits>

// Data-driven tests in one line per step: columns<A, B>("a", "b"); row("name", a, b) or
// addRow("name", a, b); const auto [a, b] = fetch<A, B>("a", "b").
namespace TestSupport {

template <typename... Types, typename... Names> void columns(const Names &...names)
{
    (QTest::addColumn<Types>(names), ...);
}

// The values as given.
template <typename... Values> void addRow(const char *name, const Values &...values)
{
    (QTest::newRow(name) << ... << values);
}

// C strings become QStrings (this build refuses implicit conversions).
template <typename T> auto cell(const T &value)
{
    if constexpr (std::is_convertible_v<T, const char *>) {
        return QString::fromUtf8(value);
    } else {
        return value;
    }
}
template <typename... Values> void row(const char *name, const Values &...values)
{
    (QTest::newRow(name) << ... << cell(values));
}

template <typename... Types, typename... Names> std::tuple<Types...> fetch(const Names &...names)
{
    return {*static_cast<Types *>(QTest::qData(names, qMetaTypeId<Types>()))...};
}

} // namespace TestSupport
