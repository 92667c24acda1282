// The console view on its own and in the window: its bound, long lines, colours, copying and menu.
#include "support/WindowHarness.h"

#include "relay/ReleUnit.h"

#include <QApplication>
#include <QClipboard>
#include <QMenu>
#include <QScrollBar>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <memory>

namespace {

QString Numbered(int N) {
    return QStringLiteral("line %1").arg(N);
}

TEST(Console, KeepsTheNewestLinesAndDropsTheOldestAtTheBottom) {
    TConsoleView View;
    QSignalSpy Changes(&View, &TConsoleView::Changed);
    for (int N = 0; N <= TConsoleView::MaxLines; ++N)
        View.InsertLine(Numbered(N));
    EXPECT_EQ(View.LineCount(), TConsoleView::MaxLines);
    EXPECT_EQ(View.Line(0).Text, Numbered(TConsoleView::MaxLines));
    EXPECT_EQ(View.Line(View.LineCount() - 1).Text, Numbered(1));
    EXPECT_EQ(Changes.count(), TConsoleView::MaxLines + 1);
}

TEST(Console, KeepsAVeryLongLineWholeAndShowsIt) {
    TConsoleView View;
    View.resize(417, 169);
    View.show();
    const QString Long(1 << 20, QChar(u'x'));
    View.InsertLine(QStringLiteral("below"));
    View.InsertLine(Long);
    View.grab();
    EXPECT_EQ(View.Lines(), (QStringList{Long, QStringLiteral("below")}));
}

TEST(Console, LineThatDoesNotFitShowsWholeAsToolTip) {
    TConsoleView View;
    View.resize(417, 169);
    View.show();
    const QString Long = QStringLiteral("ERR >Port \"tcp://127.0.0.1\": ") + QString(60, QChar(u'<'));
    View.InsertLine(Long);
    View.InsertLine(QStringLiteral("short"));
    const int Row = View.fontMetrics().lineSpacing();
    const QPoint OnShort(20, Row / 2 + 4), OnLong(20, Row + Row / 2 + 4);
    EXPECT_EQ(View.ToolTipAt(OnShort), QString());
    EXPECT_TRUE(View.ToolTipAt(OnLong).contains(Long.toHtmlEscaped()))
        << View.ToolTipAt(OnLong).toStdString();
    // Scrolled sideways, the short line is no longer whole in view either.
    View.horizontalScrollBar()->setValue(40);
    EXPECT_TRUE(View.ToolTipAt(OnShort).contains(QStringLiteral("short")));
    EXPECT_EQ(View.ToolTipAt(QPoint(20, 10 * Row)), QString()) << "below the last line";
}

TEST(Console, LinesComeInTheirKindsColourAndTheWindowsInThePlainOne) {
    TForm1 Form;
    auto *View = Control<TConsoleView>(Form, "MsgR");
    ASSERT_NE(Rele, nullptr);
    Rele->WriteMsg("Zkouška", mkErr);
    Form.ComPortError(Form.ComPort(), {});
    ASSERT_EQ(View->LineCount(), 2);
    EXPECT_FALSE(View->Line(0).Colour.isValid());
    EXPECT_EQ(View->Line(1).Colour, QColor(255, 0, 0));
}

TEST(Console, CopiesTheLinesSelectedWithTheMouseEvenAfterNewLinesCame) {
    TConsoleView View;
    View.resize(417, 169);
    View.show();
    for (int N = 0; N < 5; ++N)
        View.InsertLine(Numbered(N));
    const int Row = View.fontMetrics().lineSpacing();
    QTest::mouseClick(View.viewport(), Qt::LeftButton, {}, QPoint(20, Row / 2));
    QTest::mouseClick(View.viewport(), Qt::LeftButton, Qt::ShiftModifier, QPoint(20, Row * 3 / 2));
    View.InsertLine(Numbered(5));
    QTest::keyClick(&View, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), Numbered(4) + QChar(u'\n') + Numbered(3));
}

TEST(Console, MenuCopiesSelectsAllAndEndsWithTheViewsOwnActions) {
    TConsoleView View;
    View.InsertLine(Numbered(0));
    View.InsertLine(Numbered(1));
    auto *Own = new QAction(QStringLiteral("own"), &View);
    View.addAction(Own);
    const std::unique_ptr<QMenu> Menu(View.CreateContextMenu());
    const QList<QAction *> Items = Menu->actions();
    ASSERT_EQ(Items.size(), 4);
    EXPECT_FALSE(Items[0]->isEnabled()) << "copy without a selection";
    Items[1]->trigger();
    EXPECT_EQ(View.SelectedText(), Numbered(1) + QChar(u'\n') + Numbered(0));
    EXPECT_TRUE(Items[2]->isSeparator());
    EXPECT_EQ(Items[3], Own);
}

} // namespace
