#include "ui/ScenePainter.h"

#include <QFontDatabase>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QSvgRenderer>

#include <cmath>
#include <map>

namespace tallyglass::ScenePainter {

namespace {

using namespace Scene;

QColor qcolor(const Rgba& c)
{
    return QColor::fromRgbF(static_cast<float>(c.r), static_cast<float>(c.g), static_cast<float>(c.b),
                            static_cast<float>(std::clamp(c.a, 0.0, 1.0)));
}

QRectF qrect(const Rect& r)
{
    return {r.x, r.y, r.width, r.height};
}

QBrush brush(const Fill& fill, const QRectF& bounds)
{
    switch (fill.kind) {
    case Fill::Kind::none: return Qt::NoBrush;
    case Fill::Kind::solid: return qcolor(fill.a);
    case Fill::Kind::linear: {
        QLinearGradient gradient(QPointF(fill.from.x, fill.from.y), QPointF(fill.to.x, fill.to.y));
        gradient.setColorAt(0, qcolor(fill.a));
        gradient.setColorAt(1, qcolor(fill.b));
        return gradient;
    }
    case Fill::Kind::radial: {
        QRadialGradient gradient(bounds.center(), fill.to.x);
        const double inner = fill.to.x > 0 ? fill.from.x / fill.to.x : 0;
        gradient.setColorAt(0, qcolor(fill.a));
        gradient.setColorAt(inner, qcolor(fill.a));
        gradient.setColorAt(1, qcolor(fill.b));
        return gradient;
    }
    }
    return Qt::NoBrush;
}

QPainterPath pathOf(const Shape& shape)
{
    QPainterPath path;
    switch (shape.kind) {
    case Shape::Kind::rect:
        if (shape.radius > 0)
            path.addRoundedRect(qrect(shape.rect), shape.radius, shape.radius);
        else
            path.addRect(qrect(shape.rect));
        break;
    case Shape::Kind::ellipse: path.addEllipse(qrect(shape.rect)); break;
    case Shape::Kind::path:
        if (!shape.points.empty()) {
            path.moveTo(shape.points.front().x, shape.points.front().y);
            for (std::size_t i = 1; i < shape.points.size(); ++i)
                path.lineTo(shape.points[i].x, shape.points[i].y);
            if (shape.closed)
                path.closeSubpath();
        }
        break;
    }
    return path;
}

// A soft glow: concentric, fading copies of the shape.
void paintShadow(QPainter& painter, const QPainterPath& path, const Shadow& shadow)
{
    QColor colour = qcolor(shadow.color);
    const int steps = std::max(1, static_cast<int>(std::ceil(shadow.radius)));
    for (int i = steps; i >= 1; --i) {
        QColor step = colour;
        step.setAlphaF(colour.alphaF() * 0.18f * static_cast<float>(steps - i + 1) / static_cast<float>(steps));
        painter.setPen(QPen(step, i * 2.0));
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(path);
    }
}

void paintShape(QPainter& painter, const Shape& shape)
{
    // Plain filled rectangles are most of what a chart draws (a year of bars,
    // a heat map): at least a device pixel each way, they are snapped to whole
    // device pixels and filled without antialiasing, a plain span copy with
    // crisp edges. Hairlines keep the smooth path.
    if (shape.kind == Shape::Kind::rect && shape.radius <= 0 && !shape.stroke && !shape.shadow && shape.fill.kind == Fill::Kind::solid
        && painter.device()) {
        const qreal ratio = painter.device()->devicePixelRatioF();
        const QTransform toDevice = painter.transform() * QTransform::fromScale(ratio, ratio);
        const QRectF device = toDevice.mapRect(qrect(shape.rect));
        if (device.width() >= 1 && device.height() >= 1 && toDevice.isAffine() && !toDevice.isRotating()) {
            QColor colour = qcolor(shape.fill.a);
            colour.setAlphaF(colour.alphaF() * static_cast<float>(std::clamp(shape.opacity, 0.0, 1.0)));
            const QRectF snapped(QPointF(std::round(device.left()), std::round(device.top())),
                                 QPointF(std::round(device.right()), std::round(device.bottom())));
            const bool smooth = painter.testRenderHint(QPainter::Antialiasing);
            painter.setRenderHint(QPainter::Antialiasing, false);
            painter.fillRect(toDevice.inverted().mapRect(snapped), colour);
            painter.setRenderHint(QPainter::Antialiasing, smooth);
            return;
        }
    }
    painter.save();
    painter.setOpacity(painter.opacity() * shape.opacity);
    const QPainterPath path = pathOf(shape);
    if (shape.shadow)
        paintShadow(painter, path, *shape.shadow);
    painter.setBrush(brush(shape.fill, path.boundingRect()));
    if (shape.stroke) {
        QPen pen(brush(shape.stroke->paint, path.boundingRect()), shape.stroke->width);
        if (!shape.stroke->dash.empty())
            pen.setDashPattern(QList<qreal>(shape.stroke->dash.begin(), shape.stroke->dash.end()));
        pen.setCapStyle(Qt::FlatCap);
        painter.setPen(pen);
    } else {
        painter.setPen(Qt::NoPen);
    }
    painter.drawPath(path);
    painter.restore();
}

// Fonts and their metrics by size, weight and face, made once: making them
// anew for every text was most of the cost of a layout. Kept for the life of
// the process (never destroyed, so never after the application they need).
struct FontAndMetrics {
    QFont font;
    QFontMetricsF metrics;
};

const FontAndMetrics& cached(const Scene::Font& font)
{
    static auto* cache = new std::map<std::tuple<double, int, bool>, FontAndMetrics>();
    const auto key = std::make_tuple(font.size, font.weight, font.monospaced);
    auto found = cache->find(key);
    if (found == cache->end()) {
        const QFont qfont = fontFor(font);
        found = cache->emplace(key, FontAndMetrics{qfont, QFontMetricsF(qfont)}).first;
    }
    return found->second;
}

void paintText(QPainter& painter, const Text& text)
{
    painter.setPen(qcolor(text.color));
    const FontAndMetrics& font = cached(text.font);
    painter.setFont(font.font);
    const QRectF rect = qrect(text.rect);
    const QString content = font.metrics.elidedText(QString::fromStdString(text.text), Qt::ElideRight, rect.width() + 0.5);
    const Qt::Alignment horizontal = text.align == Align::left ? Qt::AlignLeft : text.align == Align::right ? Qt::AlignRight : Qt::AlignHCenter;
    if (text.clip) {
        painter.save();
        painter.setClipRect(qrect(*text.clip), Qt::IntersectClip);
    }
    painter.drawText(rect, static_cast<int>(horizontal | Qt::AlignVCenter | Qt::TextSingleLine), content);
    if (text.clip)
        painter.restore();
}

// The symbol's shape as an alpha mask at the size asked, made once per size:
// the whole symbol, or only its element `layer`, in its place within the whole.
const QImage& mask(const std::string& symbol, QSize pixels, const std::string& layer = {})
{
    static std::map<std::tuple<std::string, std::string, int, int>, QImage> cache;
    auto key = std::make_tuple(symbol, layer, pixels.width(), pixels.height());
    auto found = cache.find(key);
    if (found != cache.end())
        return found->second;
    QImage image(pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QSvgRenderer renderer(QString::fromStdString(":/icons/" + symbol + ".svg"));
    QPainter p(&image);
    if (layer.empty()) {
        renderer.render(&p);
    } else {
        const QRectF box = renderer.viewBoxF();
        const QRectF element = renderer.boundsOnElement(QString::fromStdString(layer));
        const double sx = pixels.width() / box.width();
        const double sy = pixels.height() / box.height();
        renderer.render(&p, QString::fromStdString(layer),
                        QRectF((element.x() - box.x()) * sx, (element.y() - box.y()) * sy, element.width() * sx, element.height() * sy));
    }
    return cache.emplace(key, std::move(image)).first->second;
}

void paintMask(QPainter& painter, const Icon& icon, const QImage& shape, qreal ratio, double opacity)
{
    const QRectF rect = qrect(icon.rect);
    QImage tinted = shape;
    {
        QPainter p(&tinted);
        p.setCompositionMode(QPainter::CompositionMode_SourceIn);
        const QRectF local(0, 0, tinted.width(), tinted.height());
        Fill fill = icon.fill;
        if (fill.kind == Fill::Kind::linear) { // into the image's own coordinates
            const auto toLocal = [&](Point pt) { return Point{(pt.x - rect.x()) * ratio, (pt.y - rect.y()) * ratio}; };
            fill.from = toLocal(fill.from);
            fill.to = toLocal(fill.to);
        }
        p.fillRect(local, brush(fill, local));
    }
    tinted.setDevicePixelRatio(ratio);
    painter.save();
    painter.setOpacity(painter.opacity() * opacity);
    painter.drawImage(rect.topLeft(), tinted);
    painter.restore();
}

void paintIcon(QPainter& painter, const Icon& icon)
{
    const QRectF rect = qrect(icon.rect);
    const qreal ratio = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
    const QSize pixels(std::max(1, static_cast<int>(std::ceil(rect.width() * ratio))),
                       std::max(1, static_cast<int>(std::ceil(rect.height() * ratio))));
    if (icon.layerOpacity.empty()) {
        paintMask(painter, icon, mask(icon.symbol, pixels), ratio, icon.opacity);
        return;
    }
    for (std::size_t i = 0; i < icon.layerOpacity.size(); ++i)
        paintMask(painter, icon, mask(icon.symbol, pixels, "layer" + std::to_string(i)), ratio,
                  icon.opacity * icon.layerOpacity[i]);
}

// Three box blurs make a near-Gaussian one; the images are small.
void blur(QImage& image, int radius)
{
    if (radius < 1)
        return;
    const int w = image.width();
    const int h = image.height();
    std::vector<std::uint32_t> buffer(static_cast<std::size_t>(std::max(w, h)));
    const auto pass = [&](bool horizontal) {
        const int lines = horizontal ? h : w;
        const int length = horizontal ? w : h;
        for (int line = 0; line < lines; ++line) {
            const auto at = [&](int i) -> QRgb& {
                return horizontal ? reinterpret_cast<QRgb*>(image.scanLine(line))[i] : reinterpret_cast<QRgb*>(image.scanLine(i))[line];
            };
            for (int i = 0; i < length; ++i)
                buffer[static_cast<std::size_t>(i)] = at(i);
            int sum[4] = {0, 0, 0, 0};
            const int window = 2 * radius + 1;
            for (int i = -radius; i <= radius; ++i) {
                const QRgb c = buffer[static_cast<std::size_t>(std::clamp(i, 0, length - 1))];
                sum[0] += qAlpha(c); sum[1] += qRed(c); sum[2] += qGreen(c); sum[3] += qBlue(c);
            }
            for (int i = 0; i < length; ++i) {
                at(i) = qRgba(sum[1] / window, sum[2] / window, sum[3] / window, sum[0] / window);
                const QRgb out = buffer[static_cast<std::size_t>(std::clamp(i - radius, 0, length - 1))];
                const QRgb in = buffer[static_cast<std::size_t>(std::clamp(i + radius + 1, 0, length - 1))];
                sum[0] += qAlpha(in) - qAlpha(out); sum[1] += qRed(in) - qRed(out);
                sum[2] += qGreen(in) - qGreen(out); sum[3] += qBlue(in) - qBlue(out);
            }
        }
    };
    for (int i = 0; i < 3; ++i) {
        pass(true);
        pass(false);
    }
}

void paintLayer(QPainter& painter, const Layer& layer)
{
    painter.save();
    painter.setOpacity(painter.opacity() * layer.opacity);
    if (layer.clip)
        painter.setClipPath(pathOf(*layer.clip), Qt::IntersectClip);
    if (layer.blurRadius >= 0.5 && painter.device()) {
        // Blurred content keeps no detail worth full resolution: drawn and
        // blurred at half a logical pixel it costs a quarter, and a redraw stays
        // within a frame even on a 2x screen.
        constexpr qreal scale = 0.5;
        // The clip gives the extent in logical units whatever the device (an
        // image with a pixel ratio counts its width in pixels, a widget does not).
        const QSizeF logical = layer.clip ? QSizeF(layer.clip->rect.right(), layer.clip->rect.bottom())
                                          : QSizeF(painter.device()->width(), painter.device()->height());
        QImage image((logical * scale).toSize().expandedTo(QSize(1, 1)), QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        {
            QPainter offscreen(&image);
            offscreen.setRenderHint(QPainter::Antialiasing);
            offscreen.setRenderHint(QPainter::TextAntialiasing);
            offscreen.scale(scale, scale);
            for (const Item& item : layer.items)
                paintItem(offscreen, item);
        }
        blur(image, static_cast<int>(std::round(layer.blurRadius * scale / 2)));
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(QRectF(QPointF(0, 0), logical), image);
    } else {
        for (const Item& item : layer.items)
            paintItem(painter, item);
    }
    painter.restore();
}

} // namespace

QFont fontFor(const Scene::Font& font)
{
    QFont qfont = font.monospaced ? QFontDatabase::systemFont(QFontDatabase::FixedFont) : QGuiApplication::font();
    qfont.setPixelSize(static_cast<int>(std::round(font.size)));
    qfont.setWeight(font.weight >= 600 ? QFont::DemiBold : font.weight >= 500 ? QFont::Medium : QFont::Normal);
    return qfont;
}

Scene::TextWidth textWidth()
{
    return [](const std::string& text, const Scene::Font& font) {
        return cached(font).metrics.horizontalAdvance(QString::fromStdString(text));
    };
}

void paintItem(QPainter& painter, const Scene::Item& item)
{
    std::visit(
        [&](const auto& value) {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, Shape>)
                paintShape(painter, value);
            else if constexpr (std::is_same_v<T, Text>)
                paintText(painter, value);
            else
                paintIcon(painter, value);
        },
        item);
}

void paint(QPainter& painter, const Scene::Scene& scene)
{
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    for (const Layer& layer : scene.layers)
        paintLayer(painter, layer);
}

QIcon tintedIcon(const std::string& symbol, const QColor& colour)
{
    QImage image = mask(symbol, QSize(32, 32));
    QPainter p(&image);
    p.setCompositionMode(QPainter::CompositionMode_SourceIn);
    p.fillRect(image.rect(), colour);
    p.end();
    return QIcon(QPixmap::fromImage(image));
}

} // namespace tallyglass::ScenePainter
