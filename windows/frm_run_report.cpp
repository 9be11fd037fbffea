#include "windows/frm_run_report.h"

#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QDir>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QUrl>
#include <QVBoxLayout>

#include "windows/artwork.h"
#include "windows/layout.h"
#include "windows/texts.h"

namespace varnolt::windows {

namespace {

std::function<bool(const QString&)>& folderOpener() {
  static std::function<bool(const QString&)> opener = [](const QString& folder) {
    return QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
  };
  return opener;
}

QTableWidget* readOnlyTable(QWidget* parent, const char* name, const QStringList& headers) {
  auto* table = new QTableWidget(0, static_cast<int>(headers.size()), parent);
  table->setObjectName(QString::fromLatin1(name));
  table->setHorizontalHeaderLabels(headers);
  table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table->setSelectionBehavior(QAbstractItemView::SelectRows);
  table->setSelectionMode(QAbstractItemView::ExtendedSelection);
  table->verticalHeader()->setVisible(false);
  table->horizontalHeader()->setStretchLastSection(true);
  table->setWordWrap(false);
  table->setTextElideMode(Qt::ElideMiddle);
  return table;
}

void setCell(QTableWidget* table, int row, int column, const QString& text) {
  auto* item = new QTableWidgetItem(text);
  item->setToolTip(text);
  table->setItem(row, column, item);
}

QString number(std::int64_t n) { return QString::number(n); }

// Paths and reasons share the width left by the short columns; what does
// not fit is shortened in the middle and shown whole as a tooltip.
void fitColumns(QTableWidget* table, std::initializer_list<int> wide) {
  QHeaderView* header = table->horizontalHeader();
  header->setStretchLastSection(false);
  for (int c = 0; c < table->columnCount(); ++c) header->setSectionResizeMode(c, QHeaderView::ResizeToContents);
  for (int c : wide) header->setSectionResizeMode(c, QHeaderView::Stretch);
}

}  // namespace

void frmRunReport::SetFolderOpener(std::function<bool(const QString&)> opener) {
  folderOpener() = opener ? std::move(opener) : [](const QString& folder) {
    return QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
  };
}

frmRunReport::frmRunReport(const std::vector<engine::PstOutcome>& outcomes, const engine::Failures& failures,
                           const QString& destination, localisation::SatelliteLocalization& texts, QWidget* parent)
    : QDialog(parent), destination_(destination) {
  setObjectName(QStringLiteral("frmRunReport"));
  setWindowTitle(TextOr(texts, 171, QStringLiteral("Run results")));
  setWindowIcon(ProgramIcon());
  setFont(VerdanaFont());
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
  const auto text = [&](std::int32_t id, const char* english) { return TextOr(texts, id, QString::fromUtf8(english)); };

  auto* layout = new QVBoxLayout(this);
  lstResults = readOnlyTable(this, "lstResults",
                             {text(172, "PST file"), text(173, "Run folder"), text(174, "Messages copied"),
                              text(175, "Attachments taken out"), text(176, "Failed steps")});
  lstResults->setSelectionMode(QAbstractItemView::SingleSelection);
  lstResults->setRowCount(static_cast<int>(outcomes.size()));
  for (std::size_t i = 0; i < outcomes.size(); ++i) {
    const engine::PstOutcome& outcome = outcomes[i];
    const int row = static_cast<int>(i);
    runFolders_.push_back(outcome.runFolder);
    setCell(lstResults, row, 0, QString::fromStdString(outcome.pst));
    setCell(lstResults, row, 1, RunFolderOf(row));
    setCell(lstResults, row, 2, number(outcome.messagesCopied) + QStringLiteral(" / ") + number(outcome.messages));
    setCell(lstResults, row, 3,
            number(outcome.attachmentsRemoved + outcome.attachmentsSaved + outcome.attachmentsZipped));
    setCell(lstResults, row, 4, number(static_cast<std::int64_t>(outcome.failureCount)));
  }
  fitColumns(lstResults, {0, 1});
  layout->addWidget(lstResults);

  cmdOpenFolder = new QPushButton(text(177, "Open Run Folder"), this);
  cmdOpenFolder->setObjectName(QStringLiteral("cmdOpenFolder"));
  cmdOpenFolder->setAutoDefault(false);
  connect(cmdOpenFolder, &QPushButton::clicked, this, &frmRunReport::cmdOpenFolder_Click);
  connect(lstResults, &QTableWidget::itemSelectionChanged, this, &frmRunReport::updateOpenButton);
  auto* openRow = new QHBoxLayout;
  openRow->addWidget(cmdOpenFolder);
  openRow->addStretch();
  layout->addLayout(openRow);

  QStringList reports;
  for (const engine::PstOutcome& outcome : outcomes)
    if (!outcome.reportFile.empty()) reports << QString::fromStdString(outcome.reportFile);
  if (!reports.isEmpty()) {
    lblReport = new QLabel(text(185, "Report of every attachment:") + QLatin1Char(' ') + reports.join(QLatin1Char('\n')),
                           this);
    lblReport->setObjectName(QStringLiteral("lblReport"));
    lblReport->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(lblReport);
  }

  lblFailures = new QLabel(text(153, "Steps of the run that failed :") + QLatin1Char(' ') +
                               QString::number(failures.count()),
                           this);
  lblFailures->setObjectName(QStringLiteral("lblFailures"));
  layout->addWidget(lblFailures);
  lstFailures = readOnlyTable(this, "lstFailures",
                              {text(172, "PST file"), text(178, "Folder"), text(179, "Message"),
                               text(180, "Attachment"), text(181, "Step"), text(182, "Reason")});
  lstFailures->setRowCount(static_cast<int>(failures.count()));
  int row = 0;
  for (const engine::Failure& failure : failures.list()) {
    int column = 0;
    for (const std::string* cell : {&failure.pst, &failure.folder, &failure.message, &failure.attachment,
                                    &failure.operation, &failure.reason}) {
      setCell(lstFailures, row, column++, QString::fromStdString(*cell));
    }
    ++row;
  }
  fitColumns(lstFailures, {0, 5});
  lstFailures->installEventFilter(this);
  layout->addWidget(lstFailures, 1);
  cmdCopy = new QPushButton(text(183, "Copy"), this);
  cmdCopy->setObjectName(QStringLiteral("cmdCopy"));
  cmdCopy->setAutoDefault(false);
  connect(cmdCopy, &QPushButton::clicked, this, &frmRunReport::cmdCopy_Click);
  // Without failures there is nothing to list or copy.
  for (QWidget* part : std::initializer_list<QWidget*>{lblFailures, lstFailures, cmdCopy})
    part->setVisible(!failures.empty());

  cmdOk = new QPushButton(text(126, "OK"), this);
  cmdOk->setObjectName(QStringLiteral("cmdOk"));
  cmdOk->setDefault(true);  // Return presses OK, wherever the focus is
  connect(cmdOk, &QPushButton::clicked, this, &QDialog::accept);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(cmdCopy);
  buttons->addStretch();
  buttons->addWidget(cmdOk);
  layout->addLayout(buttons);

  if (lstResults->rowCount() > 0) lstResults->selectRow(lstResults->rowCount() - 1);
  updateOpenButton();
  resize(Px(11000), failures.empty() ? Px(4200) : Px(7800));
  cmdOk->setFocus();
}

QString frmRunReport::RunFolderOf(int row) const {
  if (row < 0 || row >= static_cast<int>(runFolders_.size()) || runFolders_[static_cast<std::size_t>(row)].empty())
    return QString();
  return destination_ + QString::fromStdString(runFolders_[static_cast<std::size_t>(row)]);
}

void frmRunReport::updateOpenButton() {
  const QString folder = RunFolderOf(lstResults->currentRow());
  cmdOpenFolder->setEnabled(!lstResults->selectedItems().isEmpty() && !folder.isEmpty() && QDir(folder).exists());
}

void frmRunReport::cmdOpenFolder_Click() {
  const QString folder = RunFolderOf(lstResults->currentRow());
  if (!folder.isEmpty()) folderOpener()(folder);
}

QString frmRunReport::FailuresAsText(bool selectedOnly) const {
  QStringList lines;
  QStringList header;
  for (int c = 0; c < lstFailures->columnCount(); ++c) header << lstFailures->horizontalHeaderItem(c)->text();
  lines << header.join(QLatin1Char('\t'));
  for (int r = 0; r < lstFailures->rowCount(); ++r) {
    if (selectedOnly && !lstFailures->item(r, 0)->isSelected()) continue;
    QStringList cells;
    for (int c = 0; c < lstFailures->columnCount(); ++c) {
      // A tab or line break inside a reason would split the row.
      QString cell = lstFailures->item(r, c)->text();
      cell.replace(QLatin1Char('\t'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
      cells << cell;
    }
    lines << cells.join(QLatin1Char('\t'));
  }
  return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

void frmRunReport::cmdCopy_Click() {
  QApplication::clipboard()->setText(FailuresAsText(!lstFailures->selectedItems().isEmpty()));
}

bool frmRunReport::eventFilter(QObject* watched, QEvent* event) {
  // Ctrl+C in the failure table copies its selected rows whole, not the
  // one cell the table itself would copy.
  if (watched == lstFailures && event->type() == QEvent::KeyPress &&
      static_cast<QKeyEvent*>(event)->matches(QKeySequence::Copy)) {
    cmdCopy_Click();
    return true;
  }
  return QDialog::eventFilter(watched, event);
}

}  // namespace varnolt::windows
