#include "mfg/gui/test_page_view.h"

#include "mfg/gui/pictures.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace mfg::gui {
namespace {

constexpr int kImageRole = Qt::UserRole + 1;

struct MarkLook {
    int itemImage;
    QColor text;
    int resultImage; // -1: unchanged
};

MarkLook lookOf(RowMark mark)
{
    switch (mark) {
    case RowMark::Running:
        return { kArrowImage, QColor(0, 0, 255), -1 };
    case RowMark::Passed:
        return { kBlankImage, QColor(0, 0, 0), kTickImage };
    case RowMark::Failed:
        return { kBlankImage, QColor(255, 0, 0), kCrossImage };
    case RowMark::Initial:
        break;
    }
    // Not yet run: the window's own text colour; grey would read as disabled.
    return { kBlankImage, QColor(0, 0, 0), kBlankImage };
}

void setImage(QTreeWidgetItem* item, int column, int image)
{
    item->setIcon(column, QIcon(rowImage(image)));
    item->setData(column, kImageRole, image);
}

} // namespace

TestPageView::TestPageView(SequenceThread& sequence, QWidget* parent)
    : QWidget(parent)
    , m_sequence(sequence)
{
    setObjectName(QStringLiteral("TestPage"));
    auto* layout = new QHBoxLayout(this);

    m_list = new QTreeWidget(this);
    m_list->setObjectName(QStringLiteral("ItemList"));
    m_list->setRootIsDecorated(false);
    m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_list->setIconSize(QSize(16, 15));
    m_list->setHeaderLabels({ QStringLiteral("Item"), QStringLiteral("Description"), QStringLiteral("Result") });
    m_list->setColumnWidth(0, 40);
    m_list->setColumnWidth(1, 360);
    m_list->setColumnWidth(2, 64);
    m_list->setMinimumWidth(40 + 360 + 64 + 8);
    layout->addWidget(m_list, 1);

    auto* side = new QVBoxLayout;
    m_start = new QPushButton(QStringLiteral("START"), this);
    m_start->setObjectName(QStringLiteral("StartButton"));
    QFont font(QStringLiteral("Arial"));
    font.setPixelSize(62);
    font.setWeight(QFont::Weight(800));
    m_start->setFont(font);
    m_start->setMinimumHeight(110);
    side->addWidget(m_start);

    m_picture = new QLabel(this);
    m_picture->setObjectName(QStringLiteral("ResultPicture"));
    m_picture->setPixmap(resultPicture(ResultPicture::Blank));
    m_picture->setAlignment(Qt::AlignCenter);
    side->addWidget(m_picture);

    auto* errorGroup = new QGroupBox(QStringLiteral("Error Message"), this);
    auto* errorLayout = new QVBoxLayout(errorGroup);
    m_error = new QPlainTextEdit(errorGroup);
    m_error->setObjectName(QStringLiteral("ErrorMessage"));
    m_error->setReadOnly(true);
    errorLayout->addWidget(m_error);
    side->addWidget(errorGroup, 1);
    m_portIo = new QLabel(this);
    m_portIo->setObjectName(QStringLiteral("PortIoChoice"));
    m_portIo->setWordWrap(true);
    side->addWidget(m_portIo);
    m_today = new QLabel(this);
    m_today->setObjectName(QStringLiteral("TodayCount"));
    m_today->setWordWrap(true);
    side->addWidget(m_today);
    layout->addLayout(side);

    connect(m_start, &QPushButton::clicked, this, [this] {
        // The button goes grey at once; the sequence confirms it.
        m_start->setEnabled(false);
        m_sequence.start();
        if (onStartPressed)
            onStartPressed();
    });
}

void TestPageView::showPortIo(const std::string& text) { m_portIo->setText(QString::fromStdString(text)); }

void TestPageView::show(const SequenceThread::View& view, bool busy)
{
    while (m_list->topLevelItemCount() > static_cast<int>(view.rows.size()))
        delete m_list->takeTopLevelItem(m_list->topLevelItemCount() - 1);
    for (std::size_t i = 0; i < view.rows.size(); ++i) {
        const TestRow& row = view.rows[i];
        QTreeWidgetItem* item = m_list->topLevelItem(static_cast<int>(i));
        if (!item) {
            item = new QTreeWidgetItem(m_list);
            setImage(item, 2, kBlankImage);
        }
        item->setText(1, QString::fromLatin1(kItemNames[row.item]));
        const MarkLook look = lookOf(row.mark);
        setImage(item, 0, look.itemImage);
        item->setForeground(1, look.text);
        if (row.mark == RowMark::Initial || row.resultShown)
            setImage(item, 2, row.resultShown ? look.resultImage : kBlankImage);
        if (row.mark == RowMark::Initial)
            setImage(item, 2, kBlankImage);
    }
    m_today->setText(QString::fromStdString(todayText(view.today)));
    m_start->setText(QString::fromStdString(view.startText));
    m_start->setEnabled(view.startEnabled && !busy);
    if (m_shownPicture != view.picture || m_picture->pixmap().isNull()) {
        m_shownPicture = view.picture;
        m_picture->setPixmap(resultPicture(view.picture));
    }
    // Between runs the box shows everything the run had to say: also what
    // came after the box was filled (a log file that did not open, an
    // Option.dat that could not be updated after a pass) and, before the
    // first run, that Option.dat is missing. Nothing else would tell the
    // operator.
    const std::string& text = view.startEnabled && !view.resultMessage.empty() ? view.resultMessage : view.errorMessage;
    const QString error = QString::fromLocal8Bit(text.data(), static_cast<int>(text.size()));
    if (m_error->toPlainText() != error)
        m_error->setPlainText(error);
}

int TestPageView::rowImage(int row, int column) const
{
    const QTreeWidgetItem* item = m_list->topLevelItem(row);
    return item ? item->data(column, kImageRole).toInt() : -1;
}

} // namespace mfg::gui
