// SPDX-License-Identifier: MIT
// The radar analysis of every frame the worker decodes, for the radar view. On the worker's thread
// each frame is analysed; the newest analysis of each modulation waits for the GUI thread, which
// takes it at the screen's pace. Beside it the targets of the last 30 s (a fixed ring, so that a
// flood cannot grow it), and what a TargetTracker makes of them: the live tracks, their trails,
// the passes and presence. All of it starts afresh when a link opens or time goes back.
#pragma once

#include "iqcalibration.h"
#include "radaranalyzer.h"
#include "serialport.h"
#include "targettracker.h"
#include "vitalsestimator.h"

#include <QElapsedTimer>
#include <QMutex>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

struct RadarTargetRow {
    int64_t frame = 0; // counted from the link's first frame, as a recording of the link numbers it
    double seconds = 0.0;
    int mode = 0;
    RadarTarget target;
};

// A confirmed track's value at one time: CW its speed, FMCW its range (board bins without a
// sweep). A track gives at most one a 50 ms slot, so that a flood of frames adds no more.
struct RadarTrailPoint {
    double seconds = 0.0;
    float value = 0.0f;
    int track = 0;
    int mode = 0;
};

// Why the tracks, trails, passes and the target log started afresh.
enum class RadarRestart { None, NewLink, TimeWentBack };

// The GUI thread's copy of the tap's tracking, brought up to date by RadarTap::takeTracking():
// each call adds only what is new.
struct RadarTracking {
    static constexpr double kTrailSeconds = 30.0;
    static constexpr size_t kPassesKept = 10000;

    int64_t generation = -1; // the tap's restarts; -1 before the first take
    RadarRestart restart = RadarRestart::None; // why the last restart was
    std::vector<TrackState> tracks[2]; // the live tracks of each mode after its last frame
    std::deque<RadarTrailPoint> trail; // the last 30 s, oldest first, both modes
    std::deque<TrackPass> passes; // the last kPassesKept, in the order they ended
    int64_t passCount = 0; // every pass since the restart
    bool present = false;
    double presenceChangedAt = qQNaN(); // in the frames' time; NaN: not since the restart
    double newestSeconds = 0.0; // the newest frame's time
    TrackerSettings settings;
    uint64_t trailCursor = 0; // the tap's count of trail points and passes taken so far
    uint64_t passCursor = 0;

    void clear();
    // The live track `id` of either mode, or null.
    const TrackState *track(int id) const;
};

// What the passes say: how many, and the 85th percentile of their largest speeds. On an alternating
// board one object makes a pass in each mode; the CW pass measures its speed, so the summary is of
// the CW passes when there are any, else of the FMCW ones (their range rate).
struct PassSummary {
    int mode = 0;
    int64_t count = 0; // of that mode, of those given
    double speed85Mps = qQNaN(); // nearest rank: the smallest speed at least 85 % are not above
};
PassSummary summarisePasses(const std::deque<TrackPass> &passes);

class RadarTap : public FrameTap {
public:
    static constexpr int kLogRows = 1 << 16;
    static constexpr double kLogSeconds = 30.0;
    static constexpr int kTrailPoints = 1 << 14;
    static constexpr double kTrailSlotSeconds = 0.05;

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
    // Any thread: the tracker's gates and times, in force from the next frame on; the tracks,
    // passes and presence go on under them.
    void configureTracker(const TrackerSettings &tracking);
    // Any thread: from the next frame on, the background is learnt anew, or the held levels start
    // again; the averaging, the tracks and the other of the two go on as they were.
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
    // GUI thread: brings `into` up to date; after a restart it is cleared first. True when
    // anything changed.
    bool takeTracking(RadarTracking &into);
    // The targets of the last `seconds` before the newest frame, oldest first.
    std::vector<RadarTargetRow> recentTargets(double seconds = kLogSeconds);
    // The targets logged since `*cursor` (a count of rows kept by the tap, 0 at the start), oldest
    // first, appended to `rows`; moves the cursor on. Returns how many were lost: overwritten in
    // the ring before they were taken.
    int64_t takeTargets(uint64_t *cursor, std::vector<RadarTargetRow> &rows);
    // Any thread: from the next frame on, the vitals estimate starts afresh at `rangeM` (FMCW
    // frames' cell), or with NaN on CW frames when the first frame is CW, else at the nearest
    // confirmed FMCW track.
    void configureVitals(double rangeM);
    // GUI thread: when a newer vitals estimate than `into` holds has arrived, swaps it in.
    bool takeVitals(VitalsSnapshot &into);

    // Any thread, with the tap handed to no port: the link it will see from now on is another
    // (one that opened while the tap was not attached); everything starts afresh as at an opening.
    void restartForNewLink();

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
    // Forgets the log, the trails, the passes and presence; counts a restart for `why`.
    void restartLocked(RadarRestart why);
    // A new link: the worker's own state, and what the lock guards (the newest analyses, the
    // calibration's frames and all restartLocked forgets).
    void forgetLinkOwn();
    void forgetLinkLocked();
    void trackLocked(int mode, double seconds);

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
    std::vector<RadarTargetRow> log; // a ring of kLogRows once the first target came
    size_t logNext = 0;
    size_t logCount = 0;
    uint64_t logTotal = 0; // rows ever logged: the ring holds the last logCount of them
    // The totals at the last restart: rows, points and passes before them are of the pass before.
    uint64_t logRestart = 0, trailRestart = 0, passRestart = 0;
    TrackerSettings trackerSettings;
    bool trackerChanged = false;
    int64_t generation = 0;
    RadarRestart restart = RadarRestart::None;
    std::vector<TrackState> liveTracks[2];
    std::vector<RadarTrailPoint> trail; // a ring of kTrailPoints
    uint64_t trailTotal = 0;
    std::vector<TrackPass> passes; // a ring of RadarTracking::kPassesKept
    uint64_t passTotal = 0;
    int64_t passCount = 0; // since the restart
    bool present = false;
    double presenceChangedAt = qQNaN();
    double newestSeconds = 0.0;
    bool sidecarPending = false;
    bool sidecarLoaded = false;
    QString sidecarNote;
    IqCalibrator calibrator{kLogSeconds};
    double vitalsRange = qQNaN();
    bool vitalsChanged = false;
    VitalsSnapshot vitalsLatest;
    // The worker's own:
    std::unique_ptr<VitalsEstimator> vitals;
    double vitalsRangeOwn = qQNaN();
    VitalsSnapshot vitalsWork;
    std::unique_ptr<RadarAnalyzer> analyzer;
    std::unique_ptr<TargetTracker> tracker;
    // The slot of each confirmed track's last trail point: one point a track a slot.
    std::vector<std::pair<int, int64_t>> trailSlots;
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
