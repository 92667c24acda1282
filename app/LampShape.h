// A round status lamp of the main window: a circle outlined with a 3-pixel pen and filled with one
// colour. Lamps start white, the colour the window shows before the first console line gives the
// controller's state a meaning.
#pragma once

#include <QColor>
#include <QWidget>

class TLampShape : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QColor Color READ Color WRITE SetColor)

public:
    explicit TLampShape(QWidget *Parent = nullptr);

    QColor Color() const { return FColor; }
    void SetColor(const QColor &Value);

    static constexpr int PenWidth = 3;

protected:
    void paintEvent(QPaintEvent *Event) override;

private:
    QColor FColor = Qt::white;
};
