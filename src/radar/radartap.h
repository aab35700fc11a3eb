// SPDX-License-Identifier: MIT
// The radar analysis of every frame the worker decodes, for the radar view. On the worker's thread
// each frame is analysed; the newest analysis of each modulation waits for the GUI thread, which
// takes it at the screen's pace. Beside it the targets of the last 30 s (a fixed ring, so that a
// flood cannot grow it) and the strongest target's track in 50 ms slots.
#pragma once

#include "iqcalibration.h"
#include "radaranalyzer.h"
#include "serialport.h"

#include <QElapsedTimer>
#include <QMutex>

#include <atomic>
#include <functional>
#include <limits>
#include <memory>
#include <vector>

struct RadarTargetRow {
    int64_t frame = 0; // counted from the link's first frame, as a recording of the link numbers it
    double seconds = 0.0;
    int mode = 0;
    RadarTarget target;
};

// The strongest target's speed (CW) or range (FMCW) in slots of time. A slot knows whether frames
// came in it and whether one of them had a target: at the line's rate most slots of a modulation
// have no frame, which is no gap in the track; a frame without a target is.
struct RadarTrack {
    static constexpr int kSlots = 600;
    static constexpr double kSlotSeconds = 0.05; // 30 s in all

    std::vector<float> values = std::vector<float>(
        kSlots, std::numeric_limits<float>::quiet_NaN()); // by slot modulo kSlots
    // The value's level; -infinity: frames without a target, NaN: no frame.
    std::vector<float> levels = std::vector<float>(kSlots, std::numeric_limits<float>::quiet_NaN());
    int64_t newestSlot = -1; // -1: nothing yet

    // A frame at `seconds`; `value` NaN when it had no target.
    void add(double seconds, double value, double levelDb);
    void clear() { *this = RadarTrack(); }
    // The value of the slot `back` slots before the newest (0: the newest).
    float valueBack(int back) const;
    // Whether a frame came in that slot.
    bool frameBack(int back) const;
};

class RadarTap : public FrameTap {
public:
    static constexpr int kLogRows = 1 << 16;
    static constexpr double kLogSeconds = 30.0;

    struct Latest {
        RadarAnalysis analysis;
        int64_t frame = -1;
        double seconds = 0.0;
        int64_t sequence = 0; // rises with every frame analysed
    };

    RadarTap();

    // Any thread: frames from the next one on are analysed with these (a new analyzer: averaging,
    // max-hold and background start afresh). Without a profile frames are only counted.
    void configure(const RadarProfile &profile, const RadarSettings &settings);
    void clearConfiguration();
    // Any thread: from the next frame on, the background is learnt anew, or the held levels start
    // again; the averaging, the track and the other of the two go on as they were.
    void relearnBackground();
    void resetMaxHold();

    void frameDecoded(
        const frame_t &record, const char *frameBytes, int length, double seconds) override;
    void linkOpened(const LinkOpening &link) override;
    void linkClosed() override;
    // Called on the worker's thread when a link opens (with its name) or ends. Set before the tap
    // is handed to a port.
    void setLinkListener(std::function<void(bool open, const QString &name)> listener);

    // Called on the worker's thread when an analysis arrives and none that arrived before waits
    // to be taken: at most one call is on its way until the GUI thread calls takeNews(). Set
    // before the tap is handed to a port.
    void setNewsListener(std::function<void()> listener);
    // GUI thread, before taking the newest analyses: what arrives from now on is news again.
    void takeNews() { newsWaiting.store(false, std::memory_order_release); }

    // A link whose name has a profile file beside it (a replayed recording made with a profile),
    // or whose recording keeps one inside it (LinkOpening::keptRadarProfile), is analysed with
    // that profile from its first frame. Off by default.
    void setFollowSidecars(bool follow) { followSidecars.store(follow); }
    // GUI thread: whether the last link opened brought a profile beside it (true once): *profile is
    // it when it was read, and *note says where it came from or why it was refused.
    bool takeSidecar(bool *loaded, RadarProfile *profile, QString *note);

    // GUI thread: when a newer analysis of `mode` than `into` holds has arrived, swaps it in.
    bool takeLatest(int mode, Latest &into);
    // GUI thread: a copy of the track of `mode`.
    RadarTrack track(int mode);
    // The targets of the last `seconds` before the newest frame, oldest first.
    std::vector<RadarTargetRow> recentTargets(double seconds = kLogSeconds);

    int64_t framesSeen() const { return seen.load(std::memory_order_relaxed); }

    // The front end's I/Q imbalance from the frames of the last `seconds` (at most kLogSeconds)
    // of the link, profile or not.
    IqCalibration calibrateIq(double seconds = kLogSeconds);

private:
    // The lock as the GUI thread (or any caller but the worker) takes it. Under a flood the worker
    // takes the lock for every frame, and a lock that is not fair can go back to the worker again
    // and again while the caller waits (seconds, now and then): while a caller waits, the worker
    // stands aside.
    class CallerLock {
    public:
        explicit CallerLock(RadarTap &tap);
        ~CallerLock();
        CallerLock(const CallerLock &) = delete;
        CallerLock &operator=(const CallerLock &) = delete;

    private:
        RadarTap &tap;
    };
    // The lock as the worker takes it: after any caller that waits for it.
    void lockAsWorker();
    void logLocked(int64_t frame, double seconds, const RadarAnalysis &analysis);

    QMutex mutex;
    std::atomic<int> callersWaiting{0};
    // Guarded by mutex:
    bool configured = false;
    bool configChanged = false;
    bool relearnWanted = false;
    bool holdResetWanted = false;
    RadarProfile profile;
    RadarSettings settings;
    Latest latest[2];
    RadarTrack tracks[2];
    std::vector<RadarTargetRow> log; // a ring of kLogRows once the first target came
    size_t logNext = 0;
    size_t logCount = 0;
    double newestSeconds = 0.0;
    bool sidecarPending = false;
    bool sidecarLoaded = false;
    QString sidecarNote;
    IqCalibrator calibrator{kLogSeconds};
    // The worker's own:
    std::unique_ptr<RadarAnalyzer> analyzer;
    RadarAnalysis work;
    int64_t linkFrames = 0;
    QElapsedTimer ownClock;
    std::atomic<bool> pendingChange{false};
    std::atomic<bool> followSidecars{false};
    std::function<void(bool, const QString &)> linkListener;
    std::function<void()> newsListener;
    std::atomic<bool> newsWaiting{false};
    std::atomic<int64_t> seen{0};
};
