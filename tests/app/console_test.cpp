// The console view on its own and in the window: its bound, long lines, colours and copying.
#include "support/WindowHarness.h"

#include "relay/ReleUnit.h"

#include <QApplication>
#include <QClipboard>
#include <QSignalSpy>

#include <gtest/gtest.h>

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

} // namespace
