// Qt's own texts (standard button captions, message box titles and the like) through the translation
// service's resource-text domains: each domain in order, and the first that changes a text wins
// ("default" first, then "cport" once the serial layer has added it).
//
// Qt asks its translators from deep inside its own code, which cannot pass a C++ exception on. So an
// unusable catalogue does not escape from here: the text stays as Qt has it, and the error's message
// is reported once, on the main thread, through ErrorReported (or as a warning when nobody listens).
//
// Thread safety: Qt may translate on any thread; the service's lookups are safe there. Create, install
// and destroy on the main thread.
#pragma once

#include <QMutex>
#include <QSet>
#include <QTranslator>

class TResourceTextTranslator : public QTranslator {
    Q_OBJECT
public:
    explicit TResourceTextTranslator(QObject *Parent = nullptr);

    QString translate(const char *Context, const char *SourceText, const char *Disambiguation = nullptr,
                      int N = -1) const override;
    bool isEmpty() const override { return false; }

signals:
    // A lookup failed; Message is the service's error message. Delivered on the main thread.
    void ErrorReported(const QString &Message);

private:
    void Report(const QString &Message) const;

    mutable QMutex FLock;
    mutable QSet<QString> FReported;
};

// Installs a TResourceTextTranslator into the running application for its lifetime: Qt's texts are
// routed through the service from construction to destruction. Needs a QCoreApplication.
class TResourceTextRouting {
public:
    TResourceTextRouting();
    ~TResourceTextRouting();
    TResourceTextRouting(const TResourceTextRouting &) = delete;
    TResourceTextRouting &operator=(const TResourceTextRouting &) = delete;

    TResourceTextTranslator &Translator() { return FTranslator; }

private:
    TResourceTextTranslator FTranslator;
};
