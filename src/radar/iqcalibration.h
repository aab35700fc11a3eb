// SPDX-License-Identifier: MIT
// The front end's I/Q imbalance, estimated from the statistics of I and Q over many frames of a
// scene in which something moves: for I = A cos(phi), Q = g A sin(phi + psi), a target whose
// phase takes every value over the recording gives E[I^2] = A^2/2 + s^2, E[Q^2] = g^2 A^2/2 + s^2
// and E[IQ] = g A^2/2 sin(psi), with s^2 the noise power per channel. What stands still (the
// offset, a fixed echo) has one phase only and would mislead it: each frame's mean and the running
// mean of the frames (per modulation and size) are taken out first, and the noise power is read
// from the quietest bins of each frame's spectrum.
#pragma once

#include <QString>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <vector>

struct frame_t;

struct IqCalibration {
    bool ok = false;
    QString refusal; // why not, in the user's words, when !ok
    double gainDb = 0.0; // the profile's iq_gain_db
    double phaseDeg = 0.0; // the profile's iq_phase_deg
    double gainSpreadDb = 0.0; // the estimate's standard error, from eight interleaved slices
    double phaseSpreadDeg = 0.0;
    double signalDb = 0.0; // the moving echoes' power per channel above the noise's
    // The image of a tone against the tone: for the front end as estimated, and what is left
    // after correcting by the estimate given its spread.
    double imageRejectionBeforeDb = 0.0;
    double imageRejectionAfterDb = 0.0;
    int64_t frames = 0; // that went into the estimate
    int64_t clippedFrames = 0; // left out: a sample at the ADC's rails
    int64_t shortFrames = 0; // left out: fewer than kMinSamples samples

    // "iq_gain_db 1.02, iq_phase_deg 5.9 from 330 frames (image rejection 22 dB before, 41 dB
    // after)", or the refusal.
    QString summary() const;
};

class IqCalibrator {
public:
    static constexpr int kMinSamples = 16; // shorter frames have too few bins to find the noise in
    static constexpr int kMinFrames = 100; // about 9 s at the line's rate with n = 128
    static constexpr int kBackgroundFrames = 32; // the running mean of what stands still
    static constexpr int kSlices = 8; // interleaved slices whose spread gives the standard error
    static constexpr size_t kMaxKeptFrames = size_t(1) << 15;

    // `keepSeconds` 0: everything added counts (a recording). Above 0: the frames of that many
    // seconds before the newest are kept (at most kMaxKeptFrames), so that result() can be asked
    // about the last seconds of a live link.
    explicit IqCalibrator(double keepSeconds = 0.0);
    ~IqCalibrator();
    IqCalibrator(const IqCalibrator &) = delete;
    IqCalibrator &operator=(const IqCalibrator &) = delete;

    // One frame; `seconds` its time (needed only with keepSeconds above 0).
    void add(const frame_t &frame, double seconds = 0.0);
    void reset();
    // The estimate from all frames, or with keepSeconds from those of the last `seconds` (at most
    // keepSeconds) before the newest.
    IqCalibration result(double seconds = 0.0) const;
    int64_t framesAdded() const { return added; }

    // For I = A cos(phi), Q = 10^(gainDb / 20) A sin(phi + phaseDeg): the power of a tone's image
    // against the tone's, in dB above it.
    static double imageRejectionDb(double gainDb, double phaseDeg);

private:
    enum class Kind : uint8_t { Used, Clipped, Short, Learning };
    struct Sums {
        double ii = 0.0, qq = 0.0, iq = 0.0; // of the samples, offset and fixed echoes out
        double noise = 0.0; // the noise's share of ii (and of qq): samples times its power
        int64_t samples = 0;
        int64_t frames = 0;
        void operator+=(const Sums &other);
    };
    struct Kept {
        Sums sums;
        double seconds = 0.0;
        int64_t sequence = 0;
        Kind kind = Kind::Used;
    };
    struct Background {
        int frames = 0;
        std::vector<double> i, q;
    };
    struct Plan;

    Kind measure(const frame_t &frame, Sums *sums);
    double noisePower(int n); // from work, per channel
    Plan &planFor(int n);

    double keep;
    int64_t added = 0;
    int64_t used = 0;
    // Without keepSeconds: the running totals, per slice, and the counts.
    Sums slices[kSlices];
    int64_t clipped = 0, shorter = 0;
    // With it: per frame.
    std::deque<Kept> kept;
    std::map<int, Background> backgrounds; // by modulation and size
    std::map<int, std::unique_ptr<Plan>> plans;
    std::vector<double> workI, workQ;
    std::vector<double> powers;
};
