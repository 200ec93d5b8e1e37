#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP (how a Linux session ends its programs) into a signal on the
// event loop, so the program ends the normal way instead of inside a signal handler.
class CTerminationSignals : public QObject
{
    Q_OBJECT

public:
    explicit CTerminationSignals(QObject* parent = nullptr);
    ~CTerminationSignals() override;

signals:
    void terminationRequested();

private:
    void OnSignalArrived();

    QSocketNotifier* m_pNotifier = nullptr;
};
