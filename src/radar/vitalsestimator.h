// SPDX-License-Identifier: MIT
// A person at rest from the phase of one echo over time. Each frame of the mode followed gives one
// complex value: in CW the whole return (the mean of I + jQ), in FMCW the range cell of a chosen
// range (a windowed DFT at that range's beat tone). What stands still (the ADC's offset, the
// antenna's leakage, a fixed reflector) adds a constant, so the values of a breathing chest lie on
// a circle whose centre is away from zero: the circle is fitted over the last few seconds, and the
// angle round its centre, unwrapped from frame to frame, is the chest's displacement,
// d = lambda * dphi / (4 pi). The displacement's spectrum over a sliding window gives the
// breathing rate and, where the frame rate allows, the heart rate, each with a quality figure; no
// rate when the quality is low or the person moves. Pure: frames and times in, figures out.
#pragma once

#include "radarprofile.h"

#include <QString>
#include <QtNumeric>

#include <complex>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

struct frame_t;
struct TrackState;

struct VitalsSettings {
    double fitSeconds = 10.0; // the circle is fitted to the values of this long
    double rateSeconds = 30.0; // the spectrum's window
    double updateSeconds = 0.5; // how often the spectrum is made anew
    // Below this the rates are not given (0 to 1: the peak's share of its band's power times how
    // well the values fit their circle).
    double minQuality = 0.5;
    // The heart peak's share of its band, breathing's harmonics out: 0.5 like breathing, as lines
    // the breath bends and mixes with the sway reach 0.43 with no heartbeat at all.
    double minHeartQuality = 0.5;
    double maxSwingMm = 40.0; // more than this within the window is a person moving, not breathing
};

// What one frame of the mode followed gives. NaN where there is no estimate (yet).
struct VitalsReading {
    double seconds = 0.0;
    double displacementMm = qQNaN(); // positive away from the sensor, since the estimate began
    double breathsPerMin = qQNaN();
    double heartPerMin = qQNaN();
    double quality = qQNaN(); // of the breathing estimate, 0 to 1; NaN before the first spectrum
    double heartQuality = qQNaN();
    bool moving = false; // the window holds motion, not breathing: no rate
    // The values do not spread beyond what the noise gives them: nothing in the cell (or in the
    // CW return) moves, so there is no displacement and no rate. Not called moving.
    bool noEcho = false;
};

// The circle the window's values lie on, in ADC digits (I, Q after the profile's correction).
struct VitalsCircle {
    bool valid = false;
    std::complex<double> centre;
    double radius = 0.0;
    double residual = 0.0; // rms distance of the values from the circle
    // The values' rms distance from their mean, and what the noise alone gives each value (from
    // the samples' second differences within the frames); an echo that moves spreads beyond it.
    double spread = 0.0;
    double noise = 0.0;
    int values = 0; // in the window; 0 when too few to fit
    bool echo = false;
};

struct VitalsPoint {
    double seconds = 0.0;
    double displacementMm = 0.0;
};

// What a view shows of the estimate after a frame, copied out of the estimator.
struct VitalsSnapshot {
    int64_t sequence = 0; // rises with every frame read
    int mode = 0;
    double rangeM = qQNaN(); // FMCW: the cell read
    VitalsReading reading;
    VitalsCircle circle;
    std::vector<VitalsPoint> displacement; // the rate's window, oldest first
    std::vector<std::complex<float>> values; // the circle's window, oldest first
    double framesPerSecond = 0.0;
    QString heartUnavailable;
};

class VitalsEstimator {
public:
    static constexpr double kBreathLowHz = 0.1;
    static constexpr double kBreathHighHz = 0.7;
    static constexpr double kHeartLowHz = 0.8;
    static constexpr double kHeartHighHz = 2.0;
    // The heartbeat's displacement is a pulse: its second harmonic (up to 4 Hz) is as strong as
    // its fundamental and folds into the heart band below this many frames a second of the mode.
    static constexpr double kMinHeartFramesPerSecond = 8.0;
    // A frame this long after the last starts the estimate afresh (a gap in the line).
    static constexpr double kMaxGapSeconds = 2.0;

    // Follows the frames of `mode` (0 CW, 1 FMCW); in FMCW no value until setRange().
    VitalsEstimator(
        const RadarProfile &profile, int mode, const VitalsSettings &settings = VitalsSettings());
    ~VitalsEstimator();
    VitalsEstimator(const VitalsEstimator &) = delete;
    VitalsEstimator &operator=(const VitalsEstimator &) = delete;

    // One frame at `seconds`. False for a frame of the other mode (nothing changes); true with
    // the frame's reading otherwise. Time going back, a gap or another n starts afresh.
    bool add(const frame_t &frame, double seconds, VitalsReading *reading);
    // FMCW: the range whose cell is followed from the next frame on; a new one starts afresh.
    void setRange(double metres);
    // FMCW without a chosen range: the cell of the nearest confirmed track among the FMCW
    // `tracks`, chosen anew only when it lies over half a range bin from the one followed. (A
    // person at rest seldom makes a track of their own: one that walked in and sat down does.)
    void followTracks(const std::vector<TrackState> &tracks, int samples);
    // The FMCW cells that can be read: from the nearest range the analysis reports with `samples`
    // a frame (0: any the line carries, the least at n = 255) to the profile's span. Empty when
    // `metres` lies within; else why not, with the span ("50 m is beyond the 38.4 m ...").
    static double nearestCell(const RadarProfile &profile, int samples);
    static QString rangeRefusal(const RadarProfile &profile, double metres, int samples);
    // The range of the nearest confirmed FMCW track among `tracks`, NaN when none.
    static double nearestTrackRange(const std::vector<TrackState> &tracks);
    void reset();

    int mode() const { return followed; }
    double range() const { return rangeM; }
    const VitalsSettings &settings() const { return options; }
    const VitalsReading &last() const { return reading; }
    const VitalsCircle &circle() const { return fit; }
    // The frames per second of the mode over the window, 0 before two frames.
    double framesPerSecond() const;
    // Why there is no heart rate where it cannot be had at all ("" where it can be tried).
    QString heartUnavailable() const;
    // The values of the circle's window, oldest first, and the displacement of the rate's window.
    std::vector<std::complex<float>> fitValues() const;
    std::vector<VitalsPoint> displacements() const;
    // All a view shows, into `into` (whose vectors keep their capacity); its sequence goes up.
    void snapshot(VitalsSnapshot &into) const;

private:
    struct Sample {
        double seconds = 0.0;
        std::complex<double> value;
        double displacementMm = qQNaN();
        // The second half of the frame's value less the first: steady for what stands still or
        // breathes, turning for a target that moves within the frame; and its noise variance.
        std::complex<double> drift;
        double driftNoise = 0.0;
        // The value's noise variance from the samples' second differences, which the slow beat
        // tones of the near cells and of what stands still hardly reach.
        double noise = 0.0;
    };
    struct Spectrum;

    Sample valueOf(const frame_t &frame, int n);
    void fitCircle(double seconds);
    void estimateRates();

    RadarProfile radar;
    int followed;
    VitalsSettings options;
    double rangeM = qQNaN();
    double wavelengthM;
    int samples = -1;
    std::vector<std::complex<double>> kernel; // per sample: the window and the cell's turn
    double kernelPower = 0.0; // the sum of its squared magnitudes
    std::deque<Sample> history; // the rate's window
    VitalsCircle fit;
    VitalsReading reading;
    double cumulativeMm = 0.0;
    bool started = false; // the displacement has begun
    std::complex<double> previous; // the last value from the centre
    double nextSpectrumAt = 0.0;
    double nextFitAt = 0.0;
    std::unique_ptr<Spectrum> spectrum;
};
