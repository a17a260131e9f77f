#pragma once

#include "mfg/gui/sequence_thread.h"

#include <QWidget>

class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTreeWidget;

namespace mfg::gui {

// The Test page: the item list with its marks, START, the result picture
// and the "Error Message" box, all showing the sequence's state.
class TestPageView final : public QWidget {
    Q_OBJECT
public:
    TestPageView(SequenceThread& sequence, QWidget* parent = nullptr);

    // `busy`: a START was pressed whose run has not been seen to end.
    void show(const SequenceThread::View& view, bool busy);
    // Which port-I/O module the runs use, if any.
    void showPortIo(const std::string& text);
    // START was pressed (before the sequence has answered).
    std::function<void()> onStartPressed;

    QTreeWidget* list() const { return m_list; }
    QPushButton* startButton() const { return m_start; }
    QLabel* pictureLabel() const { return m_picture; }
    QPlainTextEdit* errorBox() const { return m_error; }
    QLabel* portIoLabel() const { return m_portIo; }
    QLabel* todayLabel() const { return m_today; }
    ResultPicture shownPicture() const { return m_shownPicture; }
    // The image shown in a row's column (0 arrow, 1 cross, 2 tick, 3 blank).
    int rowImage(int row, int column) const;

private:
    SequenceThread& m_sequence;
    QTreeWidget* m_list;
    QPushButton* m_start;
    QLabel* m_picture;
    QPlainTextEdit* m_error;
    QLabel* m_portIo;
    QLabel* m_today;
    ResultPicture m_shownPicture = ResultPicture::Blank;
};

} // namespace mfg::gui
