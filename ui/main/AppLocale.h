#pragma once
// The language of the window as a whole: Chinese. The window's own texts are Chinese already;
// Qt's own (the buttons of message boxes, file dialogs, context menus of text fields) come from
// Qt's translations, and dates and times follow the Chinese locale, whatever the system's is.

class QCoreApplication;
class QLocale;

// The locale of the window's dates, times and numbers.
const QLocale& WindowLocale();

// Makes WindowLocale the default locale and installs Qt's Chinese translations ("qtbase_zh_CN"
// from Qt's translations folder) into `app`. False, with a debug line, when they cannot be loaded
// (Qt's texts then stay English). User-interface thread, once.
bool InstallChineseTranslations(QCoreApplication* app);
