// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

// Draws the front-panel picture of the Model 318 shown in the application, also
// at twice the size for screens scaled to 200 %, and the application icon in
// the usual hicolor sizes and as a Windows icon file.
//
// Usage: drawimages <photo.png> <icons-directory>

#include <QBuffer>
#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QTextStream>
#include <QtMath>

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

const QString iconName = QStringLiteral("org.tarvo.dg318");

QFont panelFont(int pixelSize, QFont::Weight weight = QFont::Bold,
                const QString &family = QStringLiteral("DejaVu Sans"))
{
    QFont font(family);
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    font.setHintingPreference(QFont::PreferFullHinting);
    return font;
}

void drawCenteredText(QPainter &painter, QPointF center, const QString &text)
{
    QRectF box(center.x() - 40, center.y() - 10, 80, 20);
    painter.drawText(box, Qt::AlignCenter, text);
}

// A soft shadow made of stacked translucent outlines; good enough at this size.
void drawSoftShadow(QPainter &painter, const QRectF &rect, qreal radius, int spread, int alpha)
{
    painter.setPen(Qt::NoPen);
    for (int i = spread; i >= 1; --i) {
        painter.setBrush(QColor(0, 0, 0, alpha / spread));
        painter.drawRoundedRect(rect.adjusted(-i, -i, i, i), radius + i, radius + i);
    }
}

void drawBackdrop(QPainter &painter, const QRectF &area)
{
    QLinearGradient wall(area.topLeft(), area.bottomLeft());
    wall.setColorAt(0.0, QColor(0xdf, 0xe2, 0xe5));
    wall.setColorAt(1.0, QColor(0xa9, 0xae, 0xb3));
    painter.fillRect(area, wall);
}

void drawRackEar(QPainter &painter, const QRectF &ear)
{
    QLinearGradient metal(ear.topLeft(), ear.topRight());
    metal.setColorAt(0.0, QColor(0x3a, 0x3e, 0x43));
    metal.setColorAt(0.5, QColor(0x30, 0x34, 0x38));
    metal.setColorAt(1.0, QColor(0x28, 0x2b, 0x2f));
    painter.fillRect(ear, metal);

    // Oval mounting slots near the top and bottom.
    const qreal slotWidth = 7;
    const qreal slotHeight = 10;
    for (qreal y : {ear.top() + 20, ear.bottom() - 20}) {
        QRectF slot(ear.center().x() - slotWidth / 2, y - slotHeight / 2, slotWidth, slotHeight);
        painter.setPen(QPen(QColor(255, 255, 255, 45), 1));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(slot.translated(0, 0.8), slotWidth / 2, slotWidth / 2);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(0x0b, 0x0c, 0x0d));
        painter.drawRoundedRect(slot, slotWidth / 2, slotWidth / 2);
    }
}

void drawDisplay(QPainter &painter, const QRectF &area)
{
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(255, 255, 255, 35));
    painter.drawRoundedRect(area.translated(0, 1), 3, 3);
    painter.setBrush(QColor(0x0c, 0x0d, 0x0e));
    painter.drawRoundedRect(area, 3, 3);

    const QRectF glass = area.adjusted(4, 4, -4, -4);
    QLinearGradient glassShade(glass.topLeft(), glass.bottomLeft());
    glassShade.setColorAt(0.0, QColor(0x0a, 0x1d, 0x12));
    glassShade.setColorAt(1.0, QColor(0x06, 0x12, 0x0b));
    painter.setBrush(glassShade);
    painter.drawRect(glass);

    const QStringList lines = {QStringLiteral("T1 DLY  0.000 ps"),
                               QStringLiteral("TRIG INT 1.00 kHz")};
    painter.setFont(panelFont(9, QFont::Normal, QStringLiteral("DejaVu Sans Mono")));
    const qreal lineHeight = glass.height() / lines.size();
    for (int i = 0; i < lines.size(); ++i) {
        const QRectF lineBox(glass.left() + 4, glass.top() + i * lineHeight, glass.width() - 8,
                             lineHeight);
        // A faint halo first so the segments seem to glow behind the glass.
        painter.setPen(QColor(0x4c, 0xe0, 0x7a, 60));
        painter.drawText(lineBox.translated(0.5, 0), Qt::AlignLeft | Qt::AlignVCenter, lines[i]);
        painter.drawText(lineBox.translated(-0.5, 0), Qt::AlignLeft | Qt::AlignVCenter, lines[i]);
        painter.setPen(QColor(0x7c, 0xe8, 0x95));
        painter.drawText(lineBox, Qt::AlignLeft | Qt::AlignVCenter, lines[i]);
    }

    // Reflection on the upper half of the glass.
    QLinearGradient reflection(glass.topLeft(), QPointF(glass.left(), glass.center().y()));
    reflection.setColorAt(0.0, QColor(255, 255, 255, 28));
    reflection.setColorAt(1.0, QColor(255, 255, 255, 0));
    painter.setPen(Qt::NoPen);
    painter.setBrush(reflection);
    painter.drawRect(QRectF(glass.topLeft(), QSizeF(glass.width(), glass.height() / 2)));
}

void drawKey(QPainter &painter, const QRectF &key, const QColor &top, const QColor &bottom)
{
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0, 0, 0, 110));
    painter.drawRoundedRect(key.translated(0.6, 1.2), 2, 2);

    QLinearGradient face(key.topLeft(), key.bottomLeft());
    face.setColorAt(0.0, top);
    face.setColorAt(1.0, bottom);
    painter.setBrush(face);
    painter.setPen(QPen(bottom.darker(160), 0.8));
    painter.drawRoundedRect(key, 2, 2);
}

void drawKeypad(QPainter &painter, const QRectF &area)
{
    const int columns = 4;
    const int rows = 3;
    const qreal gap = 4;
    const qreal keyWidth = (area.width() - (columns - 1) * gap) / columns;
    const qreal keyHeight = (area.height() - (rows - 1) * gap) / rows;
    for (int row = 0; row < rows; ++row) {
        for (int column = 0; column < columns; ++column) {
            const QRectF key(area.left() + column * (keyWidth + gap),
                             area.top() + row * (keyHeight + gap), keyWidth, keyHeight);
            if (row == 0 && column == columns - 1)
                drawKey(painter, key, QColor(0x6a, 0xa8, 0xe0), QColor(0x2f, 0x67, 0xa3));
            else
                drawKey(painter, key, QColor(0xdc, 0xde, 0xe0), QColor(0x9a, 0x9f, 0xa5));
        }
    }
}

void drawKnob(QPainter &painter, QPointF center, qreal radius)
{
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0, 0, 0, 120));
    painter.drawEllipse(center + QPointF(1, 2), radius + 1, radius + 1);

    QRadialGradient skirt(center - QPointF(radius * 0.4, radius * 0.5), radius * 1.6);
    skirt.setColorAt(0.0, QColor(0x6b, 0x70, 0x76));
    skirt.setColorAt(1.0, QColor(0x15, 0x17, 0x19));
    painter.setBrush(skirt);
    painter.drawEllipse(center, radius, radius);

    // Knurled grip around the rim.
    painter.setPen(QPen(QColor(0, 0, 0, 140), 0.8));
    for (int i = 0; i < 36; ++i) {
        const qreal angle = qDegreesToRadians(i * 10.0);
        const QPointF direction(std::cos(angle), std::sin(angle));
        painter.drawLine(center + direction * radius * 0.78, center + direction * radius * 0.98);
    }

    const qreal capRadius = radius * 0.72;
    QRadialGradient cap(center - QPointF(capRadius * 0.35, capRadius * 0.45), capRadius * 1.4);
    cap.setColorAt(0.0, QColor(0x5a, 0x5f, 0x65));
    cap.setColorAt(1.0, QColor(0x1c, 0x1e, 0x21));
    painter.setPen(QPen(QColor(255, 255, 255, 40), 0.8));
    painter.setBrush(cap);
    painter.drawEllipse(center, capRadius, capRadius);

    // Finger dimple with the position mark.
    const QPointF dimple = center + QPointF(capRadius * 0.45, -capRadius * 0.45);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0xe8, 0xe8, 0xe8, 200));
    painter.drawEllipse(dimple, 1.3, 1.3);
}

void drawBnc(QPainter &painter, QPointF center, qreal radius, const QString &label)
{
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0, 0, 0, 110));
    painter.drawEllipse(center + QPointF(0.8, 1.4), radius + 0.8, radius + 0.8);

    // Bayonet studs on either side of the barrel.
    QLinearGradient stud(center - QPointF(0, 2), center + QPointF(0, 2));
    stud.setColorAt(0.0, QColor(0xf0, 0xf2, 0xf4));
    stud.setColorAt(1.0, QColor(0x80, 0x86, 0x8c));
    painter.setBrush(stud);
    painter.drawEllipse(center + QPointF(-radius - 0.4, 0), 1.7, 1.7);
    painter.drawEllipse(center + QPointF(radius + 0.4, 0), 1.7, 1.7);

    QRadialGradient ring(center - QPointF(radius * 0.4, radius * 0.5), radius * 1.7);
    ring.setColorAt(0.0, QColor(0xfa, 0xfb, 0xfc));
    ring.setColorAt(0.45, QColor(0xc4, 0xc9, 0xce));
    ring.setColorAt(1.0, QColor(0x5e, 0x64, 0x6b));
    painter.setPen(QPen(QColor(0x2a, 0x2d, 0x30), 0.6));
    painter.setBrush(ring);
    painter.drawEllipse(center, radius, radius);

    // Inside of the barrel is lit from below, so reverse the shading.
    const qreal barrelRadius = radius * 0.7;
    QLinearGradient barrel(center - QPointF(0, barrelRadius), center + QPointF(0, barrelRadius));
    barrel.setColorAt(0.0, QColor(0x6c, 0x72, 0x78));
    barrel.setColorAt(1.0, QColor(0xe4, 0xe7, 0xea));
    painter.setPen(Qt::NoPen);
    painter.setBrush(barrel);
    painter.drawEllipse(center, barrelRadius, barrelRadius);

    painter.setBrush(QColor(0x12, 0x13, 0x15));
    painter.drawEllipse(center, radius * 0.52, radius * 0.52);

    painter.setBrush(QColor(0xd8, 0xc0, 0x7a));
    painter.drawEllipse(center, radius * 0.14, radius * 0.14);

    painter.setPen(QColor(0xe6, 0xe8, 0xea));
    painter.setFont(panelFont(7));
    drawCenteredText(painter, center - QPointF(0, radius + 6.5), label);
}

// A silkscreened bracket with a caption, grouping connectors underneath it.
void drawGroupCaption(QPainter &painter, qreal left, qreal right, qreal y, const QString &caption)
{
    painter.setFont(panelFont(6));
    const qreal textWidth = painter.fontMetrics().horizontalAdvance(caption) + 6;
    const qreal middle = (left + right) / 2;
    painter.setPen(QPen(QColor(0xb8, 0xbd, 0xc2), 0.8));
    painter.drawLine(QPointF(left, y + 3), QPointF(left, y));
    painter.drawLine(QPointF(left, y), QPointF(middle - textWidth / 2, y));
    painter.drawLine(QPointF(middle + textWidth / 2, y), QPointF(right, y));
    painter.drawLine(QPointF(right, y), QPointF(right, y + 3));
    painter.drawText(QRectF(middle - textWidth / 2, y - 5, textWidth, 10), Qt::AlignCenter,
                     caption);
}

void drawLed(QPainter &painter, QPointF center, const QColor &colour, const QString &label)
{
    QRadialGradient glow(center, 4.5);
    QColor halo = colour;
    halo.setAlpha(110);
    glow.setColorAt(0.0, halo);
    glow.setColorAt(1.0, QColor(0, 0, 0, 0));
    painter.setPen(Qt::NoPen);
    painter.setBrush(glow);
    painter.drawEllipse(center, 4.5, 4.5);
    painter.setBrush(colour);
    painter.drawEllipse(center, 1.6, 1.6);
    painter.setBrush(QColor(255, 255, 255, 200));
    painter.drawEllipse(center - QPointF(0.4, 0.4), 0.6, 0.6);

    painter.setPen(QColor(0xb8, 0xbd, 0xc2));
    painter.setFont(panelFont(6));
    painter.drawText(QRectF(center.x() + 4, center.y() - 5, 40, 10),
                     Qt::AlignLeft | Qt::AlignVCenter, label);
}

void drawPowerButton(QPainter &painter, QPointF center)
{
    painter.setPen(QColor(0xb8, 0xbd, 0xc2));
    painter.setFont(panelFont(6));
    painter.drawText(QRectF(center.x() - 46, center.y() - 5, 40, 10),
                     Qt::AlignRight | Qt::AlignVCenter, QStringLiteral("POWER"));

    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0, 0, 0, 120));
    painter.drawEllipse(center + QPointF(0.5, 1), 4.2, 4.2);
    QRadialGradient face(center - QPointF(1.5, 1.5), 6);
    face.setColorAt(0.0, QColor(0xe8, 0xea, 0xec));
    face.setColorAt(1.0, QColor(0x8a, 0x90, 0x96));
    painter.setBrush(face);
    painter.drawEllipse(center, 3.8, 3.8);
    painter.setBrush(QColor(0x2a, 0x2d, 0x30));
    painter.drawEllipse(center, 2.2, 2.2);
}

// The photo at 300 x 187, or drawn anew at `scale` times the pixels for screens scaled above
// 100 %: the same drawing, in the same coordinates.
QImage drawPhoto(int scale)
{
    const QRect area(0, 0, 300, 187);
    QImage image(area.size() * scale, QImage::Format_ARGB32);
    image.setDevicePixelRatio(scale);
    QPainter painter(&image);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);

    drawBackdrop(painter, area);

    const QRectF unit(4, 12, 292, 162);
    drawSoftShadow(painter, unit.translated(0, 3), 2, 5, 90);

    const qreal earWidth = 18;
    drawRackEar(painter, QRectF(unit.topLeft(), QSizeF(earWidth, unit.height())));
    drawRackEar(
        painter,
        QRectF(QPointF(unit.right() - earWidth, unit.top()), QSizeF(earWidth, unit.height())));

    const QRectF panel = unit.adjusted(earWidth, 0, -earWidth, 0);
    QLinearGradient panelShade(panel.topLeft(), panel.bottomLeft());
    panelShade.setColorAt(0.0, QColor(0x3c, 0x41, 0x47));
    panelShade.setColorAt(1.0, QColor(0x23, 0x26, 0x2a));
    painter.fillRect(panel, panelShade);
    painter.setPen(QPen(QColor(0, 0, 0, 150), 1));
    painter.drawLine(QPointF(panel.left() + 0.5, panel.top()),
                     QPointF(panel.left() + 0.5, panel.bottom()));
    painter.drawLine(QPointF(panel.right() - 0.5, panel.top()),
                     QPointF(panel.right() - 0.5, panel.bottom()));
    painter.setPen(QPen(QColor(255, 255, 255, 50), 1));
    painter.drawLine(QPointF(unit.left(), unit.top() + 0.5),
                     QPointF(unit.right(), unit.top() + 0.5));

    // Maker and model along the top of the panel.
    QFont brand = panelFont(12, QFont::Black);
    brand.setLetterSpacing(QFont::AbsoluteSpacing, 1.5);
    painter.setFont(brand);
    painter.setPen(QColor(0xf0, 0xf1, 0xf2));
    painter.drawText(QRectF(panel.left() + 8, unit.top() + 4, 100, 16),
                     Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("TARVO"));
    painter.setFont(panelFont(7));
    painter.setPen(QColor(0xc8, 0xcc, 0xd0));
    painter.drawText(QRectF(panel.left(), unit.top() + 4, panel.width() - 8, 16),
                     Qt::AlignRight | Qt::AlignVCenter,
                     QStringLiteral("MODEL 318 DELAY GENERATOR"));
    painter.setPen(QPen(QColor(0xb8, 0xbd, 0xc2, 160), 0.6));
    painter.drawLine(QPointF(panel.left() + 8, unit.top() + 22),
                     QPointF(panel.right() - 8, unit.top() + 22));

    const QRectF display(panel.left() + 8, unit.top() + 30, 112, 38);
    drawDisplay(painter, display);
    drawLed(painter, QPointF(display.left() + 3, display.bottom() + 9), QColor(0x5c, 0xf0, 0x6c),
            QStringLiteral("REMOTE"));
    drawLed(painter, QPointF(display.left() + 50, display.bottom() + 9), QColor(0xff, 0xa8, 0x30),
            QStringLiteral("TRIG"));

    drawKeypad(painter, QRectF(display.right() + 12, display.top() + 1, 76, 36));
    drawKnob(painter, QPointF(panel.right() - 22, display.center().y() + 1), 14);
    drawPowerButton(painter, QPointF(panel.right() - 14, display.bottom() + 9));

    // Connector row: the two inputs, then the nine delayed outputs.
    const qreal connectorY = unit.top() + 127;
    const qreal pitch = 21.5;
    const qreal radius = 7.5;
    const qreal firstInput = panel.left() + 16;
    const qreal firstOutput = firstInput + 2 * pitch + 10;
    for (int i = 0; i < 2; ++i)
        drawBnc(painter, QPointF(firstInput + i * pitch, connectorY), radius,
                QStringLiteral("IN%1").arg(i + 1));
    for (int i = 0; i < 9; ++i)
        drawBnc(painter, QPointF(firstOutput + i * pitch, connectorY), radius,
                QStringLiteral("T%1").arg(i));
    const qreal captionY = connectorY - 26;
    drawGroupCaption(painter, firstInput - radius - 3, firstInput + pitch + radius + 3, captionY,
                     QStringLiteral("INPUTS"));
    drawGroupCaption(painter, firstOutput - radius, firstOutput + 8 * pitch + radius, captionY,
                     QStringLiteral("OUTPUTS"));
    painter.setFont(panelFont(6, QFont::Normal));
    painter.setPen(QColor(0xa8, 0xad, 0xb2));
    painter.drawText(
        QRectF(firstOutput - radius, connectorY + radius + 3, 8 * pitch + 2 * radius, 8),
        Qt::AlignCenter, QStringLiteral("50 \u03a9  \u2022  5 V MAX"));

    // Light falling from the upper left over the whole unit.
    QLinearGradient light(unit.topLeft(), unit.bottomRight());
    light.setColorAt(0.0, QColor(255, 255, 255, 22));
    light.setColorAt(0.6, QColor(255, 255, 255, 0));
    light.setColorAt(1.0, QColor(0, 0, 0, 40));
    painter.fillRect(unit, light);

    // Slight lens vignette.
    QRadialGradient vignette(QPointF(area.width() / 2.0, area.height() / 2.0), area.width() * 0.62);
    vignette.setColorAt(0.7, QColor(0, 0, 0, 0));
    vignette.setColorAt(1.0, QColor(0, 0, 0, 55));
    painter.fillRect(area, vignette);

    return image;
}

// Keeps lines of an odd pixel width on pixel centres and even ones on pixel
// edges, so the small icon sizes stay crisp.
qreal snapToPixels(qreal value, int lineWidth)
{
    return lineWidth % 2 ? std::floor(value) + 0.5 : std::round(value);
}

QImage drawIcon(int size)
{
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);

    const qreal s = size;
    const qreal margin = std::floor(s / 16);
    const QRectF tile(margin, margin, s - 2 * margin, s - 2 * margin);
    const qreal corner = tile.width() * 0.2;

    if (size >= 48) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(0, 0, 0, 60));
        painter.drawRoundedRect(tile.translated(0, s / 96), corner, corner);
    }
    QLinearGradient body(tile.topLeft(), tile.bottomLeft());
    body.setColorAt(0.0, QColor(0x41, 0x49, 0x52));
    body.setColorAt(1.0, QColor(0x16, 0x1a, 0x1e));
    painter.setPen(QPen(QColor(0x08, 0x09, 0x0b, 220), 1));
    painter.setBrush(body);
    painter.drawRoundedRect(tile.adjusted(0.5, 0.5, -0.5, -0.5), corner, corner);
    if (size >= 32) {
        painter.setPen(QPen(QColor(255, 255, 255, 45), 1));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(tile.adjusted(1.5, 1.5, -1.5, -1.5), corner - 1, corner - 1);
    }

    const int lineWidth = std::max(2, int(std::lround(s / 18)));
    auto x = [&](qreal fraction) { return snapToPixels(fraction * s, lineWidth); };
    auto y = x;

    // A faint graticule, as on a scope screen.
    if (size >= 48) {
        painter.setPen(QPen(QColor(255, 255, 255, 22), std::max(1.0, s / 128)));
        for (qreal fraction : {0.3125, 0.5, 0.6875})
            painter.drawLine(QPointF(tile.left() + corner / 2, fraction * s),
                             QPointF(tile.right() - corner / 2, fraction * s));
        for (qreal fraction : {0.3125, 0.5, 0.6875})
            painter.drawLine(QPointF(fraction * s, tile.top() + corner / 2),
                             QPointF(fraction * s, tile.bottom() - corner / 2));
    }

    const qreal left = 0.19;
    const qreal right = 0.81;
    const qreal triggerEdge = 0.35;
    const qreal delayedEdge = 0.62;

    auto stepPath = [&](qreal low, qreal high, qreal edge) {
        QPainterPath path;
        path.moveTo(x(left), y(low));
        path.lineTo(x(edge), y(low));
        path.lineTo(x(edge), y(high));
        path.lineTo(x(right), y(high));
        return path;
    };
    const QPainterPath trigger = stepPath(0.42, 0.2, triggerEdge);
    const QPainterPath delayed = stepPath(0.82, 0.62, delayedEdge);

    // Dotted guides down from both edges and the delay between them.
    if (size >= 48) {
        QPen guide(QColor(255, 255, 255, 120), std::max(1.0, s / 96), Qt::DotLine);
        painter.setPen(guide);
        painter.drawLine(QPointF(x(triggerEdge), y(0.42)), QPointF(x(triggerEdge), y(0.82)));

        const qreal arrowY = y(0.52);
        const qreal head = s * 0.045;
        painter.setPen(QPen(QColor(0xf2, 0xf4, 0xf6), std::max(1.0, s / 64), Qt::SolidLine,
                            Qt::RoundCap, Qt::RoundJoin));
        painter.drawLine(QPointF(x(triggerEdge) + s * 0.02, arrowY),
                         QPointF(x(delayedEdge) - s * 0.02, arrowY));
        QPainterPath heads;
        heads.moveTo(x(triggerEdge) + s * 0.02 + head, arrowY - head * 0.7);
        heads.lineTo(x(triggerEdge) + s * 0.02, arrowY);
        heads.lineTo(x(triggerEdge) + s * 0.02 + head, arrowY + head * 0.7);
        heads.moveTo(x(delayedEdge) - s * 0.02 - head, arrowY - head * 0.7);
        heads.lineTo(x(delayedEdge) - s * 0.02, arrowY);
        heads.lineTo(x(delayedEdge) - s * 0.02 - head, arrowY + head * 0.7);
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(heads);
    }

    // Square caps end the snapped lines on whole pixels at the small sizes.
    const bool large = size >= 64;
    const Qt::PenCapStyle cap = large ? Qt::RoundCap : Qt::SquareCap;
    const Qt::PenJoinStyle join = large ? Qt::RoundJoin : Qt::MiterJoin;
    const QColor green(0x6c, 0xf0, 0x8a);
    const QColor amber(0xff, 0xb4, 0x3c);
    painter.setBrush(Qt::NoBrush);
    for (const auto &[path, colour] : {std::pair{trigger, green}, std::pair{delayed, amber}}) {
        if (size >= 128) {
            QColor glow = colour;
            glow.setAlpha(45);
            painter.setPen(QPen(glow, lineWidth * 2, Qt::SolidLine, cap, join));
            painter.drawPath(path);
        }
        painter.setPen(QPen(colour, lineWidth, Qt::SolidLine, cap, join));
        painter.drawPath(path);
    }

    return image;
}

bool save(const QImage &image, const QString &path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (image.save(path, "PNG"))
        return true;
    QTextStream(stderr) << "cannot write " << path << '\n';
    return false;
}

// A Windows icon file with the icon at each size: 32-bit bitmaps with their transparency mask,
// and the largest as PNG (a bitmap that size would be 256 KiB; Windows reads PNG there).
QByteArray windowsIcon(const QList<QImage> &images)
{
    QByteArray directory;
    QByteArray data;
    QDataStream entries(&directory, QIODevice::WriteOnly);
    entries.setByteOrder(QDataStream::LittleEndian);
    entries << quint16(0) << quint16(1) << quint16(images.size()); // reserved, icon, count
    for (const QImage &icon : images) {
        const QImage image = icon.convertToFormat(QImage::Format_ARGB32);
        QByteArray bytes;
        if (image.width() >= 256) {
            QBuffer buffer(&bytes);
            buffer.open(QIODevice::WriteOnly);
            image.save(&buffer, "PNG");
        } else {
            // A bitmap info header for twice the height (the colours, then the mask), the
            // colours bottom-up in BGRA, then a 1-bit mask with rows padded to 32 bits.
            QDataStream bitmap(&bytes, QIODevice::WriteOnly);
            bitmap.setByteOrder(QDataStream::LittleEndian);
            const int maskRow = (image.width() + 31) / 32 * 4;
            bitmap << quint32(40) << qint32(image.width()) << qint32(image.height() * 2)
                   << quint16(1) << quint16(32) << quint32(0)
                   << quint32(image.width() * image.height() * 4 + maskRow * image.height())
                   << qint32(0) << qint32(0) << quint32(0) << quint32(0);
            for (int y = image.height() - 1; y >= 0; --y) {
                const auto *row = reinterpret_cast<const QRgb *>(image.constScanLine(y));
                for (int x = 0; x < image.width(); ++x)
                    bitmap << quint8(qBlue(row[x])) << quint8(qGreen(row[x]))
                           << quint8(qRed(row[x])) << quint8(qAlpha(row[x]));
            }
            for (int y = image.height() - 1; y >= 0; --y) {
                QByteArray mask(maskRow, 0);
                const auto *row = reinterpret_cast<const QRgb *>(image.constScanLine(y));
                for (int x = 0; x < image.width(); ++x) {
                    if (qAlpha(row[x]) == 0)
                        mask[x / 8] = char(mask[x / 8] | (0x80 >> (x % 8)));
                }
                bitmap.writeRawData(mask.constData(), int(mask.size()));
            }
        }
        const quint8 side = quint8(image.width() >= 256 ? 0 : image.width()); // 0 is 256
        entries << side << side << quint8(0) << quint8(0) << quint16(1) << quint16(32)
                << quint32(bytes.size()) << quint32(6 + 16 * images.size() + data.size());
        data += bytes;
    }
    return directory + data;
}

bool saveFile(const QByteArray &bytes, const QString &path)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size())
        return true;
    QTextStream(stderr) << "cannot write " << path << '\n';
    return false;
}

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    if (arguments.size() != 3) {
        QTextStream(stderr) << "usage: drawimages <photo.png> <icons-directory>\n";
        return 2;
    }

    // Qt picks "name@2x.png" beside "name.png" by itself on a screen scaled to 200 %.
    const QString photo = arguments.at(1);
    QString photo2x = photo;
    photo2x.insert(photo.lastIndexOf(QLatin1Char('.')), QLatin1String("@2x"));
    bool ok = save(drawPhoto(1), photo);
    ok = save(drawPhoto(2), photo2x) && ok;

    const QDir icons(arguments.at(2));
    QList<QImage> windowsSizes;
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        const QImage icon = drawIcon(size);
        const QString path =
            icons.filePath(QStringLiteral("hicolor/%1x%1/apps/%2.png").arg(size).arg(iconName));
        ok = save(icon, path) && ok;
        if (size != 22 && size != 128) // the sizes Windows shows icons at, up to 400 %
            windowsSizes.append(icon);
    }
    ok =
        saveFile(windowsIcon(windowsSizes), icons.filePath(iconName + QLatin1String(".ico"))) && ok;
    return ok ? 0 : 1;
}
