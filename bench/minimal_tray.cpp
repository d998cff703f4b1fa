// The smallest useful Qt tray program: an icon and a menu, nothing else. The idle-cost script runs it
// beside Tamberlo Joyrelay, on the same desktop and for the same time, as the baseline to compare with.
#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);

    QPixmap pixmap(22, 22);
    pixmap.fill(Qt::transparent);
    {
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setBrush(QColor(0xf2, 0xf2, 0xf2));
        painter.setPen(QColor(0, 0, 0, 170));
        painter.drawRoundedRect(QRectF(2.5, 5.5, 17, 11), 4, 4);
    }

    QMenu menu;
    menu.addAction(QStringLiteral("Minimal tray"))->setEnabled(false);
    menu.addSeparator();
    QObject::connect(menu.addAction(QStringLiteral("Quit")), &QAction::triggered, &app, &QApplication::quit);

    QSystemTrayIcon icon{QIcon(pixmap)};
    icon.setToolTip(QStringLiteral("Minimal tray"));
    icon.setContextMenu(&menu);
    icon.show();
    return app.exec();
}
