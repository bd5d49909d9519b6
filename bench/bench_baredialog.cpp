// The floor for start-up time and memory of any Qt Widgets tool: a plain
// modal QDialog holding as many widgets of the same kinds as the settings
// dialog (69, of which 32 are laid out hidden), at the same window size, and
// nothing else: no resources, no icon, no links, no event filter.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>

#include <cstdio>
#include <cstring>
#include <functional>

namespace {

struct Kind {
    int count;
    std::function<QWidget*(QWidget*, int)> make;
};

}  // namespace

int main(int argc, char** argv)
{
    int width = 620, height = 460;
    for (int i = 1; i + 1 < argc; ++i) {
        if (!std::strcmp(argv[i], "--size") && std::sscanf(argv[i + 1], "%dx%d", &width, &height) != 2) {
            std::fprintf(stderr, "usage: bench_baredialog [--size WxH]\n");
            return 2;
        }
    }
    QApplication app(argc, argv);
    QDialog dlg;
    dlg.setWindowTitle(QStringLiteral("Bare Qt Dialog"));
    dlg.setFixedSize(width, height);

    // Same mix as the settings dialog's control table.
    const Kind kinds[] = {
        {16, [](QWidget* p, int i) { return new QPushButton(QStringLiteral("Button %1").arg(i), p); }},
        {19, [](QWidget* p, int i) { return new QLabel(QStringLiteral("Label %1 :").arg(i), p); }},
        {7, [](QWidget* p, int i) { return new QGroupBox(QStringLiteral("Group %1").arg(i), p); }},
        {9, [](QWidget* p, int) { return new QLineEdit(p); }},
        {1, [](QWidget* p, int) { return new QPlainTextEdit(p); }},
        {6, [](QWidget* p, int i) { return new QCheckBox(QStringLiteral("Check %1").arg(i), p); }},
        {2, [](QWidget* p, int i) { return new QRadioButton(QStringLiteral("Radio %1").arg(i), p); }},
        {5, [](QWidget* p, int) {
             auto* c = new QComboBox(p);
             c->addItems({QStringLiteral("9600"), QStringLiteral("19200"), QStringLiteral("57600")});
             return c;
         }},
        {4, [](QWidget* p, int) {
             auto* c = new QComboBox(p);
             c->setEditable(true);
             c->addItems({QStringLiteral("One"), QStringLiteral("Two")});
             return c;
         }},
    };
    int n = 0;
    constexpr int kHidden = 32;
    for (const Kind& kind : kinds) {
        for (int i = 0; i < kind.count; ++i, ++n) {
            QWidget* w = kind.make(&dlg, n);
            // A grid of cells over the window; group boxes frame a row each.
            const int cols = 6;
            const int cw = width / cols, ch = height / 12;
            w->setGeometry((n % cols) * cw + 4, (n / cols) * ch + 4, cw - 8, ch - 6);
            // Every other widget of the first 64 is hidden: 32, of all kinds.
            if (n % 2 == 1 && n < 2 * kHidden)
                w->hide();
        }
    }
    dlg.exec();
    return 0;
}
