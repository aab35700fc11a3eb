// SPDX-License-Identifier: MIT
#include "frame.h"
#include "framesupport.h"

#include <QtTest>

class TestFrame : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void copySurvivesResetOfSource()
    {
        // The worker resets its record right after emitting a copy; the copy must keep its points.
        frame_t working = expectedRecord(numberedFrame(3, 16, 0));
        const frame_t original = working;
        frame_t copy = working;
        const auto capacityBefore = working.i_series.capacity();
        resetFrame(working);
        QCOMPARE(copy, original);
        QCOMPARE(working.modulation, 0);
        QCOMPARE(working.sample_count, 0);
        QVERIFY(working.i_samples.empty() && working.q_samples.empty());
        QVERIFY(working.i_series.isEmpty() && working.q_series.isEmpty());
        QVERIFY(working.fft_series.isEmpty() && working.fft_bins.isEmpty());
        // The shared series got fresh storage of the same capacity, so the next decode of a frame of
        // the same size does not grow it.
        QVERIFY(working.i_series.capacity() >= capacityBefore);
    }

    void registeredUnderItsName()
    {
        registerFrameMetaType();
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
        const QMetaType type = QMetaType::fromName("frame_t");
#else
        const QMetaType type(QMetaType::type("frame_t"));
#endif
        QVERIFY(type.isValid());
        QCOMPARE(type.id(), qMetaTypeId<frame_t>());
        // Queued delivery copies through the registered type: the copy must be exact.
        const frame_t filled = expectedRecord(numberedFrame(9, 8, 1));
        void *copy = type.create(&filled);
        QCOMPARE(*static_cast<frame_t *>(copy), filled);
        type.destroy(copy);
    }

    void queuedAcrossThreadsCarriesTheEmittedPoints()
    {
        registerFrameMetaType();
        FrameCollector collector;
        QThread sender;
        QObject emitter;
        emitter.moveToThread(&sender);
        sender.start();
        const frame_t sent = expectedRecord(numberedFrame(4, 32, 0));
        QMetaObject::invokeMethod(
            &emitter,
            [&collector, sent]() mutable {
                frame_t working = sent;
                QMetaObject::invokeMethod(&collector, "onFrame", Qt::QueuedConnection,
                                          Q_ARG(frame_t, working));
                resetFrame(working); // as the worker does right after emitting
            },
            Qt::BlockingQueuedConnection);
        sender.quit();
        sender.wait();
        QTRY_COMPARE(collector.frames.size(), 1);
        QCOMPARE(collector.frames.first(), sent);
    }
};

QTEST_GUILESS_MAIN(TestFrame)
#include "tst_frame.moc"
