// SPDX-License-Identifier: MIT
// From a frame's I and Q samples and a radar profile to the host's own spectrum on the physical
// axis (m/s for CW, metres for FMCW) and the strongest targets in it.
#pragma once

#include "radarprofile.h"
#include "targetdetector.h"

#include <QtNumeric>

#include <complex>
#include <cstdint>
#include <memory>
#include <vector>

struct frame_t;

enum class SpectrumWindow { Hann, BlackmanHarris, None };

struct RadarSettings {
    SpectrumWindow window = SpectrumWindow::Hann;
    DetectorSettings detector;
    // Per-view processing, each off at its default. A running state is kept per modulation.
    int averageFrames = 1; // exponential averaging of the power spectrum over N frames
    bool maxHold = false; // the largest power seen in each cell since the last reset
    int backgroundFrames = 0; // running mean of the complex spectrum over N frames, subtracted
};

struct RadarSpectrum {
    enum class Axis { Speed, Range, Bins };
    Axis axis = Axis::Bins;
    int mode = 0; // the frame's modulation: 0 CW, 1 FMCW
    int samples = 0; // n of the frame
    double cellsPerBin = 1.0; // the zero-padding: cells per bin of the board's n-point spectrum
    double start = 0.0; // axis value of db[0]: m/s, metres, or board bins
    double step = 0.0; // axis units per cell
    std::vector<float> db; // 20 log10 of a tone's amplitude in ADC digits, per cell
    std::vector<float> power; // the same, linear (digits squared)
    // The whole circle of the spectrum in the axis' order from db[0] on, its ends meeting, where
    // the axis shows part of it (an FMCW beat side); empty when `power` is the whole circle.
    std::vector<float> ring;

    const std::vector<float> &circle() const { return ring.empty() ? power : ring; }
    double at(double cell) const { return start + cell * step; }
    double binWidth() const { return step * cellsPerBin; } // one board bin in axis units
};

struct RadarTarget {
    int rank = 0; // 1 is the strongest
    double speedMps = qQNaN(); // CW: negative approaching, positive receding
    double rangeM = qQNaN(); // FMCW with a sweep in the profile
    double bins = 0.0; // the same position in the board's bins from zero
    double levelDb = 0.0; // a tone's amplitude in ADC digits, in dB
    double snrDb = 0.0; // above the local noise estimate

    // "approaching" or "receding" for a speed, "" for a range.
    const char *direction() const;
};

struct RadarAnalysis {
    RadarSpectrum spectrum;
    std::vector<RadarTarget> targets; // strongest first
    // An I or Q sample of the frame lies on the ADC's rails (0 or 4095): a tone too strong for
    // the front end, its spectrum spread. Its targets are kept.
    bool clipped = false;
    // Peaks not reported because they were images of stronger ones at the mirror frequency.
    int images = 0;
    // Something passed the detector within the zone round zero frequency where no target is
    // reported (too slow, too near): said, not reported as a target. `floor` is the zone's edge
    // in the axis' units (m/s, metres from the profile's zero, board bins).
    bool belowFloor = false;
    double floor = 0.0;
    double belowFloorLevelDb = 0.0;
    // The offset at zero frequency has been learnt over enough frames: the zone is the narrow one.
    bool offsetSettled = false;
};

class RadarAnalyzer {
public:
    explicit RadarAnalyzer(const RadarProfile &profile, const RadarSettings &settings = {});
    ~RadarAnalyzer();
    RadarAnalyzer(const RadarAnalyzer &) = delete;
    RadarAnalyzer &operator=(const RadarAnalyzer &) = delete;

    // One frame. Frames with fewer than two samples give an empty analysis. With the per-view
    // processing off, the result depends on the frame alone.
    RadarAnalysis analyze(const frame_t &frame);
    void analyze(const frame_t &frame, RadarAnalysis &into);
    // Forgets the averaging, max-hold and background of both modulations.
    void reset();
    // Each forgets only what it names, in both modulations: the background is learnt anew from
    // the next frame; the held levels start again from the next frame's.
    void resetBackground();
    void resetMaxHold();

    const RadarProfile &profile() const { return radar; }
    const RadarSettings &settings() const { return options; }
    // The detector's own settings: the guard widened to the window's main lobe.
    const TargetDetector &targetDetector() const { return detector; }

    // The zero-padded FFT length for n samples: a power of two, at least 4n.
    static int paddedLength(int samples);
    // What stands still at zero frequency (the ADC's offset, the antenna's leakage, in CW every
    // stationary reflector) is learnt over this many frames of a mode and taken out of each
    // frame before the window.
    static constexpr int kOffsetFrames = 32;
    // Until this many frames of a mode have taught it, the zone is the wide one.
    static constexpr int kOffsetSettleFrames = 16;
    // How close to zero frequency, in board bins of n samples, no target is reported. Once the
    // offset is learnt (`settled`): within the half-power width of the window's main lobe, where
    // what is left of the offset and of clutter would still make a peak. Before that, the wider
    // zone where the window's response is within 15 dB of its peak: there a tone has a mean over
    // the few frames seen, and taking it out pushes its peak away from zero.
    static double blindBins(SpectrumWindow window, int samples, bool settled = true);
    // The assumed image rejection of a front end, in dB: an uncorrected one, and one whose
    // imbalance the profile corrects. A peak at the mirror frequency of a stronger one and at
    // least this less kImageMarginDb below it is taken for its image.
    static constexpr double kImageRejectionDb = 20.0;
    static constexpr double kCorrectedImageRejectionDb = 30.0;
    static constexpr double kImageMarginDb = 6.0;

private:
    struct Plan;
    // How many standing tones near zero are fitted beside the offset.
    static constexpr int kStandingTones = 2;
    struct ModeState {
        int samples = -1;
        int offsetFrames = 0; // learnt from since the mode's frames began
        // What stands still from frame to frame, sample by sample: the offset and every echo
        // that does not move, learnt over kOffsetFrames frames.
        std::vector<std::complex<double>> standing;
        // The standing tones near zero fitted beside the offset, and when they were looked for.
        struct StandingTone {
            double cell = 0.0; // on the padded FFT's cells
            std::complex<double> amplitude;
        };
        StandingTone tones[kStandingTones];
        int tonesFound = -1; // -1: not looked for yet
        int framesSinceSearch = 0;
        int backgroundFrames = 0; // learnt since the background was last forgotten
        int averagedFrames = 0;
        std::vector<std::complex<float>> background;
        std::vector<float> average;
        std::vector<float> held;
    };

    Plan &planFor(int samples);
    std::complex<double> offsetIn(Plan &plan, ModeState &state);
    void toAxis(int mode, int samples, RadarSpectrum &out) const;

    RadarProfile radar;
    RadarSettings options;
    TargetDetector detector;
    std::vector<SpectrumPeak> peaks;
    std::vector<std::unique_ptr<Plan>> plans;
    ModeState states[2];
    std::vector<std::complex<float>> spectrum;
    std::vector<float> cellPower; // in the FFT's order
    std::vector<float> cellDb;
    std::vector<std::complex<double>> corrected;
    std::vector<std::complex<double>> fitted;
};

// "hann", "blackman-harris" or "none"; false for another name.
bool spectrumWindowFromName(const QString &name, SpectrumWindow *window);
// The window's weight for sample k of n.
double windowWeight(SpectrumWindow window, int k, int n);
// The half-width of the window's main lobe, in bins of the n-point spectrum.
int mainLobeBins(SpectrumWindow window);
