// SPDX-License-Identifier: MIT
// A race the ThreadSanitizer run must report, so that a preload that hid every race could not
// pass for a clean run: the worker thread counts under a lock in a queued call, while the main
// thread counts without it right after posting the call, then waits for the call.
#include <QCoreApplication>
#include <QMutex>
#include <QSemaphore>
#include <QThread>

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QThread thread;
    thread.start();
    QObject worker;
    worker.moveToThread(&thread);
    QMutex mutex;
    QSemaphore done;
    int count = 0;
    QMetaObject::invokeMethod(
        &worker,
        [&] {
            QMutexLocker lock(&mutex);
            ++count;
            done.release();
        },
        Qt::QueuedConnection);
    ++count;
    done.acquire();
    thread.quit();
    thread.wait();
    return count == 2 ? 0 : 1;
}
