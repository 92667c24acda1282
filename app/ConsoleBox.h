// The command console: a read-only view of coloured lines whose newest line is always the first.
//
// TConsoleView keeps the newest MaxLines lines and drops the oldest at the bottom. It stores the
// lines themselves and paints only the rows in view, one row per line with no wrapping and a
// horizontal scroll bar for long lines, so a new line costs the same whether the console holds
// ten lines or ten thousand, and a line of a megabyte costs no more to show than its visible part.
// The operator selects whole lines with the mouse (shift extends) or Ctrl+A and copies them with
// Ctrl+C or the context menu; actions added to the view (QWidget::addAction) end that menu. A line
// that the view shows only in part shows whole as a tool tip.
//
// TConsoleBox is the relay controller's console on top of it: the controller's lines come in its
// colours; the window's own "COM >" lines come in the view's plain text colour, so that they never
// pass for a command or an answer line.
#pragma once

#include "relay/Console.h"

#include <QAbstractScrollArea>
#include <QColor>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <deque>
#include <map>

class QMenu;

struct TConsoleLine {
    QString Text;
    // Invalid for a line shown in the view's plain text colour.
    QColor Colour;
};

class TConsoleView : public QAbstractScrollArea {
    Q_OBJECT

public:
    // How many of the newest lines the console keeps.
    static constexpr int MaxLines = 10000;

    explicit TConsoleView(QWidget *Parent = nullptr);

    // Puts Text above every earlier line; drops the oldest line once more than MaxLines are held.
    void InsertLine(const QString &Text, const QColor &Colour = QColor());
    int LineCount() const { return static_cast<int>(FLines.size()); }
    // Index 0 is the newest line.
    const TConsoleLine &Line(int Index) const { return FLines[static_cast<std::size_t>(Index)]; }
    QStringList Lines() const;

    // The selected lines from top to bottom, one per line; empty without a selection.
    QString SelectedText() const;
    void SelectAll();
    void Copy() const;
    // The menu the view shows on a right click: copy, select all, then the view's own actions.
    QMenu *CreateContextMenu();
    // The tool tip for a point of the viewport: the whole line there when the view shows only part
    // of it (too long for the width, or scrolled sideways), else empty.
    QString ToolTipAt(const QPoint &Position) const;

signals:
    // Every inserted line, as it goes in; the view holds it by then.
    void LineInserted(const QString &Text, const QColor &Colour);
    // Once per change of the held lines, after the insertion and any drop.
    void Changed();

protected:
    void paintEvent(QPaintEvent *Event) override;
    void resizeEvent(QResizeEvent *Event) override;
    void changeEvent(QEvent *Event) override;
    void mousePressEvent(QMouseEvent *Event) override;
    void mouseMoveEvent(QMouseEvent *Event) override;
    void mouseReleaseEvent(QMouseEvent *Event) override;
    void keyPressEvent(QKeyEvent *Event) override;
    void contextMenuEvent(QContextMenuEvent *Event) override;
    bool viewportEvent(QEvent *Event) override;

private:
    // Lines carry serial numbers so that a selection stays on its lines while new ones come in.
    using TSerial = std::int64_t;

    int RowHeight() const;
    int CharWidth() const;
    TSerial SerialAt(int Y) const;
    bool Selected(TSerial Serial) const;
    bool HasSelection() const { return FAnchor >= 0; }
    void UpdateScrollBars();
    void PaintLine(class QPainter &Painter, const TConsoleLine &Line, int Top, bool Selected) const;

    std::deque<TConsoleLine> FLines;
    // How many lines of each length are held, for the width of the horizontal scroll range.
    std::map<qsizetype, int> FLengths;
    TSerial FNewest = -1;
    TSerial FAnchor = -1, FCurrent = -1;
};

class TConsoleBox : public TConsole {
public:
    explicit TConsoleBox(TConsoleView *View) : FView(View) {}

    // Throws std::runtime_error once the view is gone; the controller turns that into its message box.
    void InsertFirstLine(const std::string &Line, TColor Colour) override;
    // Inserts a line with no colour of its own.
    void InsertPlainLine(const std::string &Line) override;
    void InsertPlainLine(const QString &Line);

private:
    TConsoleView &View() const;

    QPointer<TConsoleView> FView;
};
