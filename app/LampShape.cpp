#include "LampShape.h"

#include <QPainter>

TLampShape::TLampShape(QWidget *Parent) : QWidget(Parent) {}

void TLampShape::SetColor(const QColor &Value) {
    if (Value == FColor)
        return;
    FColor = Value;
    update();
}

void TLampShape::paintEvent(QPaintEvent *) {
    QPainter Painter(this);
    Painter.setRenderHint(QPainter::Antialiasing);
    Painter.setPen(QPen(Qt::black, PenWidth));
    Painter.setBrush(FColor);
    // The circle keeps to the shorter side and stays centred, and the pen is drawn half inside
    // and half outside the path: inset by half its width so the outline is not clipped.
    const int Side = std::min(width(), height());
    QRectF Circle((width() - Side) / 2.0, (height() - Side) / 2.0, Side, Side);
    const qreal Inset = PenWidth / 2.0;
    Painter.drawEllipse(Circle.adjusted(Inset, Inset, -Inset, -Inset));
}
