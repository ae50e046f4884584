#include "gui/popover/PopoverColors.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kMinimumContrast = 4.5;

double luminance(const QColor &color)
{
    const auto linear = [](double channel) {
        return channel <= 0.04045 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
    };
    const QColor rgb = color.toRgb();
    return 0.2126 * linear(rgb.redF()) + 0.7152 * linear(rgb.greenF()) +
           0.0722 * linear(rgb.blueF());
}

QColor mix(const QColor &from, const QColor &to, double amount)
{
    const QColor a = from.toRgb();
    const QColor b = to.toRgb();
    const auto blend = [amount](float x, float y) { return float(x + (y - x) * amount); };
    return QColor::fromRgbF(blend(a.redF(), b.redF()), blend(a.greenF(), b.greenF()),
                            blend(a.blueF(), b.blueF()));
}

} // namespace

double PopoverColors::contrast(const QColor &a, const QColor &b)
{
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor PopoverColors::readableOn(const QColor &color, const QColor &background)
{
    // Away from the background: towards white on a dark one, towards black on a light one.
    const QColor target = luminance(background) < 0.18 ? QColor(Qt::white) : QColor(Qt::black);
    QColor result = color;
    for (int step = 1; step <= 10 && contrast(result, background) < kMinimumContrast; ++step) {
        result = mix(color, target, step / 10.0);
    }
    return result;
}

QColor PopoverColors::accent(const QPalette &palette)
{
    return readableOn(palette.color(QPalette::Highlight), palette.color(QPalette::Window));
}

QColor PopoverColors::red(const QPalette &palette)
{
    return readableOn(QColor(0xe5, 0x39, 0x35), palette.color(QPalette::Window));
}

QColor PopoverColors::green(const QPalette &palette)
{
    return readableOn(QColor(0x2e, 0xa0, 0x43), palette.color(QPalette::Window));
}
