#include "main/AppLocale.h"

#include "common/CoreLog.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

const QLocale& WindowLocale() {
    static const QLocale chinese(QLocale::Chinese, QLocale::China);
    return chinese;
}

bool InstallChineseTranslations(QCoreApplication* app) {
    QLocale::setDefault(WindowLocale());
    auto* translator = new QTranslator(app);
    const QString folder = QLibraryInfo::location(QLibraryInfo::TranslationsPath);
    if (!translator->load(WindowLocale(), QStringLiteral("qtbase"), QStringLiteral("_"), folder) ||
        !QCoreApplication::installTranslator(translator)) {
        CoreDebug("[UI] Qt's Chinese translations not found in %s", qUtf8Printable(folder));
        delete translator;
        return false;
    }
    return true;
}
