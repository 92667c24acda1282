#include "ConsoleBox.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QScrollBar>
#include <QToolTip>

#include <algorithm>
#include <stdexcept>

namespace {

// Space around the lines, as a rich-text box leaves around its document.
constexpr int Margin = 4;

const char *const CopyText = "&Kopírovat";
const char *const SelectAllText = "&Vybrat vše";

// A tool tip longer than this is cut: the console's lines are far shorter (an unterminated answer
// is quoted up to the receive buffer's bound), and a tip must stay within the screen.
constexpr qsizetype LongestTip = 4096;
constexpr qsizetype TipRowLength = 100;

} // namespace

TConsoleView::TConsoleView(QWidget *Parent) : QAbstractScrollArea(Parent) {
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setBackgroundRole(QPalette::Base);
    UpdateScrollBars();
}

void TConsoleView::InsertLine(const QString &Text, const QColor &Colour) {
    FLines.push_front({Text, Colour});
    ++FLengths[Text.size()];
    ++FNewest;
    if (FLines.size() > MaxLines) {
        const auto Length = FLengths.find(FLines.back().Text.size());
        if (--Length->second == 0)
            FLengths.erase(Length);
        FLines.pop_back();
    }
    UpdateScrollBars();
    // Keep the newest line in view.
    verticalScrollBar()->setValue(0);
    viewport()->update();
    emit LineInserted(Text, Colour);
    emit Changed();
}

QStringList TConsoleView::Lines() const {
    QStringList Texts;
    Texts.reserve(LineCount());
    for (const TConsoleLine &Line : FLines)
        Texts << Line.Text;
    return Texts;
}

QString TConsoleView::SelectedText() const {
    if (!HasSelection())
        return {};
    // Serials count down from the top row; lines already dropped are no longer selected.
    const TSerial Oldest = FNewest - LineCount() + 1;
    const TSerial Top = std::min(std::max(FAnchor, FCurrent), FNewest);
    const TSerial Bottom = std::max(std::min(FAnchor, FCurrent), Oldest);
    QStringList Texts;
    for (TSerial Serial = Top; Serial >= Bottom; --Serial)
        Texts << FLines[static_cast<std::size_t>(FNewest - Serial)].Text;
    return Texts.join(QChar(u'\n'));
}

void TConsoleView::SelectAll() {
    if (FLines.empty())
        return;
    FAnchor = FNewest;
    FCurrent = FNewest - LineCount() + 1;
    viewport()->update();
}

void TConsoleView::Copy() const {
    // A selection whose lines have all been dropped copies nothing, rather than emptying the clipboard.
    const QString Text = SelectedText();
    if (!Text.isEmpty())
        QApplication::clipboard()->setText(Text);
}

QMenu *TConsoleView::CreateContextMenu() {
    // In Czech, as the rest of the window and the actions that end the menu: Qt's own texts would
    // follow the desktop's language instead.
    auto *Menu = new QMenu(this);
    QAction *CopyAction = Menu->addAction(QString::fromUtf8(CopyText), this, &TConsoleView::Copy);
    CopyAction->setShortcut(QKeySequence::Copy);
    CopyAction->setEnabled(HasSelection());
    QAction *AllAction = Menu->addAction(QString::fromUtf8(SelectAllText), this, &TConsoleView::SelectAll);
    AllAction->setShortcut(QKeySequence::SelectAll);
    AllAction->setEnabled(!FLines.empty());
    if (!actions().isEmpty()) {
        Menu->addSeparator();
        Menu->addActions(actions());
    }
    return Menu;
}

int TConsoleView::RowHeight() const {
    return std::max(1, fontMetrics().lineSpacing());
}

int TConsoleView::CharWidth() const {
    return std::max(1, fontMetrics().horizontalAdvance(QChar(u'M')));
}

TConsoleView::TSerial TConsoleView::SerialAt(int Y) const {
    const int Row =
        std::clamp(verticalScrollBar()->value() + std::max(0, Y - Margin) / RowHeight(), 0, LineCount() - 1);
    return FNewest - Row;
}

bool TConsoleView::Selected(TSerial Serial) const {
    return HasSelection() && Serial <= std::max(FAnchor, FCurrent) && Serial >= std::min(FAnchor, FCurrent);
}

void TConsoleView::UpdateScrollBars() {
    const int Rows = std::max(1, (viewport()->height() - Margin) / RowHeight());
    verticalScrollBar()->setRange(0, std::max(0, LineCount() - Rows));
    verticalScrollBar()->setPageStep(Rows);
    verticalScrollBar()->setSingleStep(1);
    // A line's width is estimated from its length: exact for the console's fixed-pitch font.
    const qsizetype Longest = FLengths.empty() ? 0 : FLengths.rbegin()->first;
    const qint64 Width = static_cast<qint64>(Longest + 1) * CharWidth() + 2 * Margin;
    const qint64 Range = Width - viewport()->width();
    horizontalScrollBar()->setRange(0, static_cast<int>(std::clamp<qint64>(Range, 0, INT_MAX)));
    horizontalScrollBar()->setPageStep(viewport()->width());
    horizontalScrollBar()->setSingleStep(CharWidth());
}

void TConsoleView::paintEvent(QPaintEvent *) {
    QPainter Painter(viewport());
    const int Height = RowHeight();
    const int First = verticalScrollBar()->value();
    const int Last = std::min(LineCount(), First + viewport()->height() / Height + 2);
    for (int Row = First; Row < Last; ++Row)
        PaintLine(Painter, FLines[static_cast<std::size_t>(Row)], Margin + (Row - First) * Height,
                  Selected(FNewest - Row));
}

void TConsoleView::PaintLine(QPainter &Painter, const TConsoleLine &Line, int Top, bool IsSelected) const {
    const int Height = RowHeight();
    const QPalette &Colours = palette();
    if (IsSelected)
        Painter.fillRect(0, Top, viewport()->width(), Height, Colours.highlight());
    QColor Pen = Line.Colour.isValid() ? Line.Colour : Colours.color(QPalette::Text);
    if (IsSelected)
        Pen = Colours.color(QPalette::HighlightedText);
    Painter.setPen(Pen);
    // Only the part of the line in view is laid out, so a very long line costs no more than a short one.
    const int Char = CharWidth();
    const int Offset = horizontalScrollBar()->value();
    qsizetype Start = Offset / Char;
    if (Start > 0 && Start < Line.Text.size() && Line.Text.at(Start).isLowSurrogate())
        --Start;
    const qsizetype Count = viewport()->width() / Char + 3;
    if (Start >= Line.Text.size())
        return;
    const int X = static_cast<int>(Start * Char - Offset) + Margin;
    Painter.drawText(X, Top + fontMetrics().ascent(), Line.Text.mid(Start, Count));
}

QString TConsoleView::ToolTipAt(const QPoint &Position) const {
    if (FLines.empty() || Position.y() < Margin)
        return {};
    const int Row = verticalScrollBar()->value() + (Position.y() - Margin) / RowHeight();
    if (Row >= LineCount())
        return {};
    const QString &Text = FLines[static_cast<std::size_t>(Row)].Text;
    const qint64 Right =
        static_cast<qint64>(Text.size()) * CharWidth() + Margin - horizontalScrollBar()->value();
    if (horizontalScrollBar()->value() == 0 && Right <= viewport()->width())
        return {};
    const QString Shown = Text.size() > LongestTip ? Text.left(LongestTip) + QChar(u'…') : Text;
    // Rows of a fixed length: Qt wraps a tip's rich text far narrower, and plain text not at all.
    QStringList Rows;
    for (qsizetype At = 0; At < Shown.size(); At += TipRowLength)
        Rows << Shown.mid(At, TipRowLength).toHtmlEscaped();
    return QStringLiteral("<p style='white-space:pre'>%1</p>").arg(Rows.join(QStringLiteral("<br>")));
}

bool TConsoleView::viewportEvent(QEvent *Event) {
    if (Event->type() != QEvent::ToolTip)
        return QAbstractScrollArea::viewportEvent(Event);
    const auto *Help = static_cast<QHelpEvent *>(Event);
    const QString Tip = ToolTipAt(Help->pos());
    if (Tip.isEmpty())
        QToolTip::hideText();
    else
        QToolTip::showText(Help->globalPos(), Tip, viewport());
    return true;
}

void TConsoleView::resizeEvent(QResizeEvent *Event) {
    QAbstractScrollArea::resizeEvent(Event);
    UpdateScrollBars();
}

void TConsoleView::changeEvent(QEvent *Event) {
    QAbstractScrollArea::changeEvent(Event);
    if (Event->type() == QEvent::FontChange) {
        UpdateScrollBars();
        viewport()->update();
    }
}

void TConsoleView::mousePressEvent(QMouseEvent *Event) {
    if (Event->button() != Qt::LeftButton || FLines.empty()) {
        QAbstractScrollArea::mousePressEvent(Event);
        return;
    }
    FCurrent = SerialAt(Event->position().toPoint().y());
    if (!(Event->modifiers() & Qt::ShiftModifier) || !HasSelection())
        FAnchor = FCurrent;
    viewport()->update();
}

void TConsoleView::mouseMoveEvent(QMouseEvent *Event) {
    if (!(Event->buttons() & Qt::LeftButton) || !HasSelection())
        return;
    FCurrent = SerialAt(Event->position().toPoint().y());
    viewport()->update();
}

void TConsoleView::mouseReleaseEvent(QMouseEvent *Event) {
    Event->setAccepted(Event->button() == Qt::LeftButton);
}

void TConsoleView::keyPressEvent(QKeyEvent *Event) {
    if (Event == QKeySequence::Copy)
        Copy();
    else if (Event == QKeySequence::SelectAll)
        SelectAll();
    else
        QAbstractScrollArea::keyPressEvent(Event);
}

void TConsoleView::contextMenuEvent(QContextMenuEvent *Event) {
    QMenu *Menu = CreateContextMenu();
    Menu->setAttribute(Qt::WA_DeleteOnClose);
    Menu->popup(Event->globalPos());
}

void TConsoleBox::InsertFirstLine(const std::string &Line, TColor Colour) {
    View().InsertLine(QString::fromStdString(Line), QColor(Colour.R, Colour.G, Colour.B));
}

void TConsoleBox::InsertPlainLine(const std::string &Line) {
    InsertPlainLine(QString::fromStdString(Line));
}

void TConsoleBox::InsertPlainLine(const QString &Line) {
    View().InsertLine(Line);
}

TConsoleView &TConsoleBox::View() const {
    if (!FView)
        throw std::runtime_error("the console box no longer exists");
    return *FView;
}
