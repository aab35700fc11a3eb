// SPDX-License-Identifier: MIT
// Preloaded into a test built with ThreadSanitizer: tells the sanitizer about the hand-overs that
// happen inside a Qt that was not built with it. Debian's Qt locks its mutexes with futexes and
// passes queued calls and events through its own lists, so without this every value handed from
// one thread to another looks like a race.
//
// Each wrapper replaces an exported Qt function (the program and the other Qt libraries call it
// through the dynamic linker; calls inside libQt5Core itself are bound at link time and cannot be
// seen), says acquire or release to the sanitizer, and calls the real function.
//
// - QMutex, QBasicMutex (its slow path), QSemaphore, QWaitCondition: the object's own address.
// - Queued calls, signals, posted events: every post releases one common address, and every event
//   delivered (on any thread) acquires it. An event is taken to follow every post made before it:
//   coarser than the truth, so it may hide a race but never invents one. What the posting thread
//   does inside the post (Qt copies the arguments and allocates the event after the release; slots
//   connected directly run there too) is not recorded.
// - A blocking queued call: the caller acquires what the called function did.
// - A thread's end: QThread::finished releases the thread, QThread::wait acquires it.
//
// Built without the sanitizer; the sanitizer's entry points are weak, so a child process that
// inherits the preload without being built with it runs unchanged.
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QMetaObject>
#include <QMutex>
#include <QObject>
#include <QSemaphore>
#include <QThread>
#include <QWaitCondition>

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

extern "C" {
void __tsan_acquire(void *address) __attribute__((weak));
void __tsan_release(void *address) __attribute__((weak));
// The sanitizer stops recording this thread's reads and writes (both, whichever is named).
void AnnotateIgnoreWritesBegin(const char *file, int line) __attribute__((weak));
void AnnotateIgnoreWritesEnd(const char *file, int line) __attribute__((weak));
}

namespace {

char posted; // the common address of posts and deliveries

void acquire(const void *address)
{
    if (__tsan_acquire)
        __tsan_acquire(const_cast<void *>(address));
}

void release(const void *address)
{
    if (__tsan_release)
        __tsan_release(const_cast<void *>(address));
}

// A post: Qt copies the arguments and allocates the event after the release that the receiver
// acquires, so the sender's accesses inside the post are not recorded (its synchronisation still
// is). Slots connected directly run inside as well: their accesses go unchecked.
template <typename Post> auto posting(Post &&post)
{
    release(&posted);
    if (AnnotateIgnoreWritesBegin)
        AnnotateIgnoreWritesBegin(__FILE__, __LINE__);
    struct End {
        ~End()
        {
            if (AnnotateIgnoreWritesEnd)
                AnnotateIgnoreWritesEnd(__FILE__, __LINE__);
        }
    } end;
    return post();
}

void *real(const char *name)
{
    void *function = dlsym(RTLD_NEXT, name);
    if (!function) {
        std::fprintf(stderr, "qtsync: %s not found: %s\n", name, dlerror());
        std::abort();
    }
    return function;
}

// Looked up once, on first use (the dynamic linker's lookup is thread-safe; a race between two
// first uses stores the same pointer).
#define REAL(type, name) static const auto forward = reinterpret_cast<type>(real(name))

bool deliveredEvent(void **)
{
    acquire(&posted);
    return false; // the event goes on to its receiver
}

// Runs a blocking queued call's function and then releases the caller's address.
class ReleasingSlot : public QtPrivate::QSlotObjectBase {
public:
    ReleasingSlot(QtPrivate::QSlotObjectBase *inner, const void *caller)
        : QSlotObjectBase(&impl)
        , inner(inner)
        , caller(caller)
    {
    }

private:
    static void impl(
        int which, QSlotObjectBase *self, QObject *receiver, void **arguments, bool *ret)
    {
        auto *that = static_cast<ReleasingSlot *>(self);
        switch (which) {
        case Destroy:
            // Inside Qt, on either thread, after the call.
            acquire(that->caller);
            that->inner->destroyIfLastRef();
            delete that;
            break;
        case Call:
            that->inner->call(receiver, arguments);
            release(that->caller);
            break;
        case Compare:
            *ret = false;
            break;
        default:
            break;
        }
    }

    QtPrivate::QSlotObjectBase *inner;
    const void *caller;
};

__attribute__((constructor)) void start()
{
    // Only this process is built with the sanitizer, not the programs a test starts.
    unsetenv("LD_PRELOAD");
    if (__tsan_acquire)
        QInternal::registerCallback(QInternal::EventNotifyCallback, deliveredEvent);
}

} // namespace

// Mutexes.
void QMutex::lock() noexcept
{
    REAL(void (*)(QMutex *), "_ZN6QMutex4lockEv");
    forward(this);
    acquire(this);
}

bool QMutex::tryLock(int timeout) noexcept
{
    REAL(bool (*)(QMutex *, int), "_ZN6QMutex7tryLockEi");
    const bool locked = forward(this, timeout);
    if (locked)
        acquire(this);
    return locked;
}

void QMutex::unlock() noexcept
{
    REAL(void (*)(QMutex *), "_ZN6QMutex6unlockEv");
    release(this);
    forward(this);
}

void QBasicMutex::lockInternal() noexcept
{
    REAL(void (*)(QBasicMutex *), "_ZN11QBasicMutex12lockInternalEv");
    forward(this);
    acquire(this);
}

bool QBasicMutex::lockInternal(int timeout) noexcept
{
    REAL(bool (*)(QBasicMutex *, int), "_ZN11QBasicMutex12lockInternalEi");
    const bool locked = forward(this, timeout);
    if (locked)
        acquire(this);
    return locked;
}

void QBasicMutex::unlockInternal() noexcept
{
    REAL(void (*)(QBasicMutex *), "_ZN11QBasicMutex14unlockInternalEv");
    release(this);
    forward(this);
}

// Semaphores and wait conditions.
void QSemaphore::acquire(int n)
{
    REAL(void (*)(QSemaphore *, int), "_ZN10QSemaphore7acquireEi");
    forward(this, n);
    ::acquire(this);
}

bool QSemaphore::tryAcquire(int n)
{
    REAL(bool (*)(QSemaphore *, int), "_ZN10QSemaphore10tryAcquireEi");
    const bool taken = forward(this, n);
    if (taken)
        ::acquire(this);
    return taken;
}

bool QSemaphore::tryAcquire(int n, int timeout)
{
    REAL(bool (*)(QSemaphore *, int, int), "_ZN10QSemaphore10tryAcquireEii");
    const bool taken = forward(this, n, timeout);
    if (taken)
        ::acquire(this);
    return taken;
}

void QSemaphore::release(int n)
{
    REAL(void (*)(QSemaphore *, int), "_ZN10QSemaphore7releaseEi");
    ::release(this);
    forward(this, n);
}

bool QWaitCondition::wait(QMutex *mutex, QDeadlineTimer deadline)
{
    REAL(bool (*)(QWaitCondition *, QMutex *, QDeadlineTimer),
        "_ZN14QWaitCondition4waitEP6QMutex14QDeadlineTimer");
    release(mutex); // unlocked inside, and locked again before it returns
    const bool woken = forward(this, mutex, deadline);
    acquire(mutex);
    acquire(this);
    return woken;
}

bool QWaitCondition::wait(QMutex *mutex, unsigned long time)
{
    REAL(bool (*)(QWaitCondition *, QMutex *, unsigned long), "_ZN14QWaitCondition4waitEP6QMutexm");
    release(mutex);
    const bool woken = forward(this, mutex, time);
    acquire(mutex);
    acquire(this);
    return woken;
}

void QWaitCondition::wakeOne()
{
    REAL(void (*)(QWaitCondition *), "_ZN14QWaitCondition7wakeOneEv");
    release(this);
    forward(this);
}

void QWaitCondition::wakeAll()
{
    REAL(void (*)(QWaitCondition *), "_ZN14QWaitCondition7wakeAllEv");
    release(this);
    forward(this);
}

// Posts: signals, queued calls, events.
void QMetaObject::activate(QObject *sender, const QMetaObject *meta, int index, void **arguments)
{
    REAL(void (*)(QObject *, const QMetaObject *, int, void **),
        "_ZN11QMetaObject8activateEP7QObjectPKS_iPPv");
    posting([&] { forward(sender, meta, index, arguments); });
}

void QMetaObject::activate(QObject *sender, int signalOffset, int localIndex, void **arguments)
{
    REAL(void (*)(QObject *, int, int, void **), "_ZN11QMetaObject8activateEP7QObjectiiPPv");
    posting([&] { forward(sender, signalOffset, localIndex, arguments); });
}

bool QMetaObject::invokeMethodImpl(
    QObject *object, QtPrivate::QSlotObjectBase *slot, Qt::ConnectionType type, void *ret)
{
    REAL(bool (*)(QObject *, QtPrivate::QSlotObjectBase *, Qt::ConnectionType, void *),
        "_ZN11QMetaObject16invokeMethodImplEP7QObjectPN9QtPrivate15QSlotObjectBaseEN2Qt14"
        "ConnectionTypeEPv");
    if (type != Qt::BlockingQueuedConnection)
        return posting([&] { return forward(object, slot, type, ret); });
    const char caller = 0;
    auto *releasing = new ReleasingSlot(slot, &caller);
    const bool invoked = posting([&] { return forward(object, releasing, type, ret); });
    acquire(&caller);
    return invoked;
}

void QCoreApplication::postEvent(QObject *receiver, QEvent *event, int priority)
{
    REAL(void (*)(QObject *, QEvent *, int), "_ZN16QCoreApplication9postEventEP7QObjectP6QEventi");
    posting([&] { forward(receiver, event, priority); });
}

void QObject::deleteLater()
{
    REAL(void (*)(QObject *), "_ZN7QObject11deleteLaterEv");
    release(&posted);
    forward(this);
}

// Threads: their start is seen by the sanitizer (pthread_create), their end is not.
void QThread::start(Priority priority)
{
    REAL(void (*)(QThread *, Priority), "_ZN7QThread5startENS_8PriorityE");
    // Emitted on the thread itself, as the last thing it does before waking a waiter.
    if (__tsan_release)
        QObject::connect(
            this, &QThread::finished, this, [this] { release(this); }, Qt::DirectConnection);
    forward(this, priority);
}

bool QThread::wait(QDeadlineTimer deadline)
{
    REAL(bool (*)(QThread *, QDeadlineTimer), "_ZN7QThread4waitE14QDeadlineTimer");
    const bool finished = forward(this, deadline);
    if (finished)
        acquire(this);
    return finished;
}

bool QThread::wait(unsigned long time)
{
    REAL(bool (*)(QThread *, unsigned long), "_ZN7QThread4waitEm");
    const bool finished = forward(this, time);
    if (finished)
        acquire(this);
    return finished;
}
