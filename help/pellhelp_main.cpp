// pellhelp: the help viewer of Pell Admin.
//   pellhelp [-maximized] [-context N] [-print] FILE
// opens FILE at the topic with context number N (the contents without one). -print writes the topic as
// plain text to standard output instead of opening a window.
#include "help/help_viewer.h"
#include "platform/runtime_folder.h"

#include <QApplication>
#include <QTextStream>

#include <cstdio>

int main(int argc, char* argv[]) {
    pell::setPrivateRuntimeFolder();
    QApplication app(argc, argv);
    bool maximized = false;
    bool print = false;
    int context = -1;
    QString file;
    const QStringList args = QCoreApplication::arguments().mid(1);
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& arg = args.at(i);
        if (arg.compare(QLatin1String("-maximized"), Qt::CaseInsensitive) == 0) {
            maximized = true;
        } else if (arg.compare(QLatin1String("-print"), Qt::CaseInsensitive) == 0) {
            print = true;
        } else if (arg.compare(QLatin1String("-context"), Qt::CaseInsensitive) == 0 && i + 1 < args.size()) {
            bool ok = false;
            const int number = args.at(++i).toInt(&ok);
            if (ok)
                context = number;
        } else if (file.isEmpty()) {
            file = arg;
        }
    }

    if (print) {
        pell::help::HelpDocument document;
        QString error;
        QTextStream out(stdout);
        if (!pell::help::HelpDocument::load(file, document, &error)) {
            QTextStream(stderr) << error << Qt::endl;
            return 1;
        }
        const int shown = context < 0 ? 0 : context;
        if (!document.topic(shown)) {
            QTextStream(stderr)
                << QStringLiteral("There is no help topic with the context number %1.").arg(shown)
                << Qt::endl;
            return 2;
        }
        out << document.topicText(shown);
        return 0;
    }

    pell::help::HelpViewer viewer;
    if (viewer.openFile(file)) {
        if (context < 0)
            viewer.showContents();
        else
            viewer.showTopic(context);
    }
    if (maximized)
        viewer.showMaximized();
    else
        viewer.show();
    return app.exec();
}
