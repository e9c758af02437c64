#include "upload/QDUploadViewController.h"

#include "app/NotificationCenter.h"
#include "app/Notifications.h"
#include "inspect/QDArchiveModel.h"
#include "ui/Alert.h"
#include "ui/Browser.h"
#include "ui/BusyIndicator.h"
#include "ui/QDLodingViewController.h"
#include "upload/Logging.h"
#include "upload/QDAppInfoViewController.h"
#include "upload/QDDragDropViewController.h"
#include "upload/QDScreenStack.h"
#include "upload/QRCodeImage.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

namespace {
constexpr int kBarSteps = 1000;
}

QDUploadViewController::QDUploadViewController(const QString &beginView, QWidget *parent)
    : QWidget(parent)
    , m_flow(new UploadFlow(beginView, this))
{
    setObjectName(u"uploadViewController"_s);
    setWindowTitle(u"Quillo"_s);
    buildView();

    connect(m_flow, &UploadFlow::stateChanged, this, &QDUploadViewController::stateChanged);
    connect(m_flow, &UploadFlow::showApplicationInfo, this, &QDUploadViewController::showApplicationInfo);
    connect(m_flow, &UploadFlow::shortcutTaken, this, [](const QString &message) { Alert::modal(message); });
    connect(m_flow, &UploadFlow::progressChanged, this, &QDUploadViewController::progressChanged);
    connect(m_flow, &UploadFlow::transferStatus, this,
        [this](double, qint64, const QString &text) { m_uploadRateLabel->setText(text); });
    connect(m_flow, &UploadFlow::uploadFinished, this, &QDUploadViewController::uploadFinished);
    connect(m_flow, &UploadFlow::inspectionEnded, this,
        [this](InspectionFailure failure, const QString &) { inspectionEnded(failure); });
    connect(m_flow, &UploadFlow::exportEnded, this,
        [this](bool) { m_loadingViewController->loadingIndicator()->stopAnimation(); });
    connect(m_flow, &UploadFlow::exportFailed, this, &QDUploadViewController::exportFailed);

    NotificationCenter::defaultCenter().post(Notifications::DisableBuildItem);
}

QDUploadViewController::~QDUploadViewController()
{
    // Nothing of a running upload may reach the half-destroyed screens.
    m_flow->discard();
}

void QDUploadViewController::buildView()
{
    m_dragDropViewController = new QDDragDropViewController(this, this);
    m_loadingViewController = new QDLodingViewController(this);
    m_dragDropViewController->hide();
    m_loadingViewController->hide();

    m_containerView = new QWidget(this);
    m_containerView->setObjectName(u"containerView"_s);
    m_containerView->setMinimumSize(QDAppInfoViewController::kFormSize);

    m_backButton = new QPushButton(u"返回"_s, this);
    m_backButton->setObjectName(u"backButton"_s);
    m_uploadButton = new QPushButton(u"上传"_s, this);
    m_uploadButton->setObjectName(u"uploadButton"_s);
    m_uploadButton->setDefault(true);
    m_uploadProgressBar = new QProgressBar(this);
    m_uploadProgressBar->setObjectName(u"uploadProgressBar"_s);
    m_uploadProgressBar->setRange(0, kBarSteps);
    m_uploadProgressBar->setTextVisible(false);
    m_uploadRateLabel = new QLabel(this);
    m_uploadRateLabel->setObjectName(u"uploadRateLabel"_s);
    m_uploadRateLabel->setMinimumWidth(170);
    m_messageLabel = new QLabel(this);
    m_messageLabel->setObjectName(u"messageLabel"_s);
    m_messageLabel->setWordWrap(true);
    QPalette warning = m_messageLabel->palette();
    warning.setColor(QPalette::WindowText, QColor(0xc0, 0x30, 0x20));
    m_messageLabel->setPalette(warning);
    m_messageLabel->hide();

    auto *bar = new QHBoxLayout;
    bar->setContentsMargins(16, 8, 16, 14);
    bar->addWidget(m_backButton);
    bar->addWidget(m_messageLabel, 1);
    bar->addWidget(m_uploadProgressBar, 1);
    bar->addWidget(m_uploadRateLabel);
    bar->addStretch();
    bar->addWidget(m_uploadButton);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_containerView, 1);
    layout->addLayout(bar);

    connect(m_backButton, &QPushButton::clicked, this, &QDUploadViewController::backButtonClicked);
    connect(m_uploadButton, &QPushButton::clicked, this, &QDUploadViewController::uploadButtonClicked);

    QWidget *bottom = nullptr;
    if (beginView() == u"1"_s) {
        bottom = m_loadingViewController;
        m_loadingViewController->loadingText()->setText(u"正在导出安装包…"_s);
        m_backButton->hide(); // there is nothing to go back to
    } else {
        bottom = m_dragDropViewController;
        m_backButton->hide();
    }
    m_uploadButton->hide();
    m_uploadProgressBar->hide();
    m_uploadRateLabel->hide();

    m_screenStack = new QDScreenStack(bottom, m_containerView);
    m_screenStack->setObjectName(u"screenStack"_s);
    auto *containerLayout = new QVBoxLayout(m_containerView);
    containerLayout->setContentsMargins(0, 0, 0, 0);
    containerLayout->addWidget(m_screenStack);
}

void QDUploadViewController::ParseIPA(const QString &path)
{
    m_messageLabel->hide();
    m_flow->ParseIPA(path);
}

void QDUploadViewController::ParseAPK(const QString &path)
{
    m_messageLabel->hide();
    m_flow->ParseAPK(path);
}

void QDUploadViewController::exportArchive(const QDArchiveModel &archive)
{
    m_flow->exportArchive(archive);
}

void QDUploadViewController::exportArchive(const QString &archivePath, const QString &provisionFileName)
{
    m_flow->exportArchive(archivePath, provisionFileName);
}

void QDUploadViewController::showApplicationInfo()
{
    if (m_screenStack->depth() > 1)
        m_screenStack->popToRoot(false);
    UploadFlow *flow = m_flow;
    auto *form
        = new QDAppInfoViewController(m_flow->appInfo(), m_flow->appType(), [flow] { flow->deletePayloadDirectory(); });
    m_appInfoViewController = form;
    QPointer<QDAppInfoViewController> guard(form);
    m_flow->setSettingsSource(
        [guard, flow] { return guard ? guard->getApplicationSetting() : UploadFlow::defaultSettings(flow->record()); });
    m_messageLabel->hide();
    m_uploadButton->show();
    m_backButton->setVisible(beginView() != u"1"_s);
    m_screenStack->push(form, true);
}

void QDUploadViewController::backButtonClicked()
{
    if (m_flow->state() != UploadFlow::State::Form)
        return;
    m_screenStack->popToRoot(true);
    m_appInfoViewController = nullptr;
    m_flow->backButtonClicked();
    if (beginView() == u"0"_s) {
        m_uploadButton->hide();
        m_backButton->hide();
    }
}

void QDUploadViewController::uploadButtonClicked()
{
    // Both buttons go disabled through the state change (Checking or Sending).
    m_flow->uploadButtonClicked();
}

void QDUploadViewController::stateChanged(UploadFlow::State state)
{
    const bool busy = state == UploadFlow::State::Checking || state == UploadFlow::State::Sending;
    m_backButton->setEnabled(!busy);
    m_uploadButton->setEnabled(!busy);
    const bool sending = state == UploadFlow::State::Sending;
    if (sending && m_uploadProgressBar->isHidden()) {
        m_uploadProgressBar->setValue(0);
        m_uploadRateLabel->setText(u"正在计算速度…"_s);
    }
    m_uploadProgressBar->setVisible(sending);
    m_uploadRateLabel->setVisible(sending);
}

void QDUploadViewController::progressChanged(double value)
{
    m_progressValue = value;
    // Rounded to a thousandth: the bar repaints only when that changes.
    const int step = int(std::clamp(value, 0.0, 1.0) * kBarSteps + 0.5);
    if (step != m_uploadProgressBar->value())
        m_uploadProgressBar->setValue(step);
}

void QDUploadViewController::uploadFinished(const UploadFlow::Result &result)
{
    if (result.autoClose) {
        closeUpdateWindow();
        return;
    }
    if (result.success()) {
        const QString url = result.downloadUrl;
        const QImage code = QRCodeImage::fromText(url, 4, 2);
        QPointer<QDUploadViewController> self(this);
        Alert::sheet(
            window(), u"上传完成，是否在浏览器中打开下载页面？"_s, { u"确定"_s, u"取消"_s },
            [self, url](int answer) {
                if (answer == 0)
                    Browser::open(url);
                if (self)
                    self->closeUpdateWindow();
            },
            u"下载页面：%1\n用手机扫描二维码即可打开。"_s.arg(url), code);
        return;
    }
    Alert::modal(result.message);
    m_flow->resultAcknowledged();
}

void QDUploadViewController::inspectionEnded(InspectionFailure failure)
{
    QString text;
    switch (failure) {
    case InspectionFailure::ToolMissing:
        text = u"无法读取 Android 安装包：找不到 aapt 工具，请重新安装 Quillo 或安装 Android SDK 的 aapt。"_s;
        break;
    case InspectionFailure::ToolFailed:
        text = u"无法读取 Android 安装包：aapt 无法运行或没有按时结束，请检查后重试。"_s;
        break;
    case InspectionFailure::NoOutput:
        return; // the window stays as it was
    }
    m_messageLabel->setText(text);
    m_messageLabel->show();
}

void QDUploadViewController::exportFailed()
{
    m_loadingViewController->loadingText()->setText(u"解析失败"_s);
    QPointer<QDUploadViewController> self(this);
    Alert::sheet(window(), u"生成ipa失败，请检查证书及签名文件是否正确!"_s, {}, [self](int) {
        if (!self)
            return;
        if (self->m_delegate)
            self->m_delegate->closeUpdateWindow();
        else if (self->window() != self.data())
            self->window()->close();
    });
}

void QDUploadViewController::closeUpdateWindow()
{
    if (m_delegate)
        m_delegate->closeUpdateWindow();
}

void QDUploadViewController::windowWillClose()
{
    m_flow->discard();
}
