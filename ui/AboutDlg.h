#pragma once

#include <QDialog>

// The About box: program name and version, a notice line and "확인".
class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);

    static constexpr const char* kCaption = "Vendrill Info";
    static constexpr int kWidthDu = 235;
    static constexpr int kHeightDu = 55;
};
