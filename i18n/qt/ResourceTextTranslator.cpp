// Routes Qt's own texts through the resource-text domains of the translation service.
#include "i18n/qt/ResourceTextTranslator.h"

#include "i18n/gnugettext.h"

#include <QCoreApplication>
#include <QMetaMethod>

#include <stdexcept>

namespace {

// Qt's texts use bare line feeds; the service hands every line end back as CR LF.
std::string BareLineFeeds(std::string Text) {
    std::string::size_type At = 0;
    while ((At = Text.find("\r\n", At)) != std::string::npos)
        Text.erase(At, 1);
    return Text;
}

} // namespace

TResourceTextTranslator::TResourceTextTranslator(QObject *Parent) : QTranslator(Parent) {}

QString TResourceTextTranslator::translate(const char *, const char *SourceText, const char *, int) const {
    if (!SourceText || !*SourceText)
        return {};
    const std::string Source(SourceText);
    // The service's own resource-text lookup compares with the CR LF result, so a text with a line
    // feed would count as changed by the first domain; comparing bare line feeds lets it go on.
    try {
        for (const std::string &Domain : ResourceTextDomains()) {
            std::string Translation = BareLineFeeds(TranslateTextInDomain(Source, Domain));
            if (Translation != Source)
                return QString::fromStdString(Translation);
        }
    } catch (const std::exception &Error) {
        Report(QString::fromStdString(Error.what()));
    }
    return {}; // no translation: Qt keeps its text
}

void TResourceTextTranslator::Report(const QString &Message) const {
    {
        QMutexLocker Guard(&FLock);
        if (FReported.contains(Message))
            return;
        FReported.insert(Message);
    }
    auto *Self = const_cast<TResourceTextTranslator *>(this);
    // Queued: the lookup may run inside a paint or on another thread, and a listener may show a dialog.
    QMetaObject::invokeMethod(
        Self,
        [Self, Message] {
            if (Self->isSignalConnected(QMetaMethod::fromSignal(&TResourceTextTranslator::ErrorReported)))
                emit Self->ErrorReported(Message);
            else
                qWarning("%s", qPrintable(Message));
        },
        Qt::QueuedConnection);
}

TResourceTextRouting::TResourceTextRouting() {
    QCoreApplication::installTranslator(&FTranslator);
}

TResourceTextRouting::~TResourceTextRouting() {
    if (QCoreApplication::instance())
        QCoreApplication::removeTranslator(&FTranslator);
}
