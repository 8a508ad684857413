#include "engine/wave_bank_recipes.h"

#include <algorithm>
#include <cmath>
#include <numbers>

// The wave bank as harmonic recipes. Each wave is one function of the harmonic number n that
// returns c[n]; the bank builder scales the result to a peak of 1 and cuts it per bandwidth
// level, so recipes only care about shape, never about level or aliasing.
//
// Phase rule: sine phase (c = -i a) unless a construction fixes the phase itself (integrated,
// stepped, filtered, modulated shapes keep the phase their math gives). Spiky all-cosine phase
// is avoided: peak normalisation would leave such a cycle much quieter than its neighbours.
//
// Waves whose timbre comes from a fixed-frequency resonance (a body, a vocal tract, a reed
// chamber) are designed for one reference note, named per family: their formants sit at the
// right frequencies there and move with the pitch elsewhere, as any single-cycle wave must.

namespace kolva::osc {
namespace {

constexpr double kPi = std::numbers::pi;
constexpr Harmonic kI{0.0, 1.0};

// ---- building blocks -----------------------------------------------------------------------

Harmonic sine(double a) { return {0.0, -a}; } // a sin(n theta)

double noteHz(double note) { return 440.0 * std::pow(2.0, (note - 69.0) / 12.0); }

double sinc(double x) { return x == 0.0 ? 1.0 : std::sin(kPi * x) / (kPi * x); }

// A copy of the wave delayed by `cycles`.
Harmonic delay(double n, double cycles) { return std::polar(1.0, -2.0 * kPi * n * cycles); }

// The rising ramp, -1 to +1 with its jump at phase 0 (the same saw as the saw bank).
Harmonic saw(int n) { return {0.0, 2.0 / (kPi * n)}; }

// 1 for the first `width` of the cycle, 0 after.
Harmonic pulse(int n, double width) { return (1.0 - delay(n, width)) / (kI * kPi * double(n)); }

// A staircase of equal steps holding v[0], v[1], ... in turn: pulses of width 1/K, delayed.
template <std::size_t K> Harmonic steps(int n, const std::array<double, K>& v) {
    Harmonic h{};
    for (std::size_t j = 0; j < K; ++j)
        h += v[j] * delay(n, double(j) / K);
    return h * pulse(n, 1.0 / K);
}

Harmonic square(int n) { return steps<2>(n, {1.0, -1.0}); }

// A wave running p times faster than the cycle: its partials land on every p-th harmonic.
template <typename Wave> Harmonic faster(int n, int p, Wave w) {
    return n % p == 0 ? w(n / p) : Harmonic{};
}

// Two-pole analogue low-pass at `cutoff` (in harmonics) with quality q, phase included.
Harmonic lowpass(double n, double cutoff, double q) {
    const double x = n / cutoff;
    return 1.0 / Harmonic(1.0 - x * x, x / q);
}

// Band-pass magnitude: 1 at `centre`, down 3 dB `width` apart (any unit, same as f).
double bandpass(double f, double centre, double width) {
    return width * f / std::hypot(centre * centre - f * f, width * f);
}

// Flat below `corner`, falling 24 dB per octave above.
double rolloff(double f, double corner) { return 1.0 / (1.0 + std::pow(f / corner, 4.0)); }

// A resonance of a tube or cavity (all-pole, unity gain at DC): cascaded, these are the
// formants of a vocal tract with their natural relative levels.
struct Formant {
    double hz, bandwidth;
};
Harmonic resonance(double f, Formant p) {
    return p.hz * p.hz / Harmonic(p.hz * p.hz - f * f, p.bandwidth * f);
}

// ---- families ------------------------------------------------------------------------------

// Tri / TriSine: the odd 1/n^2 triangle in sine phase, and the same mixed half and half (by
// peak) with a sine: a triangle with its corners melted.
Harmonic triangle(int n) {
    if (n % 2 == 0) return {};
    return sine((((n - 1) / 2) % 2 ? -8.0 : 8.0) / (kPi * kPi * n * n));
}

// Para: integrated waves, every one continuous (no jumps, so harmonics fall at least as 1/n^2):
// 1 the parabola (integrated saw, one arc per cycle with a cusp), 2 a 25 % pulse integrated
// twice (a lopsided smooth hump), 3 a square whose edges are parabolic S-curves (the square
// smoothed by a triangular kernel 1/6 cycle wide), 4 two parabolic arcs of 1/3 and 2/3 cycle
// (two integrated saws, one delayed by 1/3).
Harmonic integrated(Harmonic h, int n) { return h / (kI * double(n)); }

// Bass: strong fundamental and little above the 4th harmonic. 1: a saw through a 24 dB/oct
// low-pass; 2: a saw over a square sub-oscillator an octave below (the cycle's fundamental),
// low-passed alike; 3: a fingered string plucked at 1/6, tone control down; 4: a saw through a
// resonant low-pass peaking on the 3rd harmonic.
Harmonic butterworth4(int n, double cutoff) {
    return lowpass(n, cutoff, 0.5412) * lowpass(n, cutoff, 1.3066);
}

// Piano: a struck string. The hammer's strike point (a 1/7..1/10 of the string) notches the
// partials it sits on a node of; together with the hammer's finite contact time this gives the
// sinc comb, and the felt's hardness sets how far the top reaches (soft felt: low `felt`).
Harmonic piano(int n, double strike, double felt) {
    return sine(sinc(n * strike) / std::sqrt(1.0 + (n / felt) * (n / felt)));
}

// Violin family: the bowed string's Helmholtz motion drives the bridge with a 1/n saw, which the
// body colours: the air mode A0 and the main wood modes low down, the bridge hill (the bridge's
// own rocking resonance) higher up, and a steep fall above `topHz`.
struct BowedBody {
    double refNote, airHz, woodHz, hillHz, hillGain, topHz;
};
Harmonic bowed(int n, const BowedBody& b) {
    const double f = n * noteHz(b.refNote);
    const double body = 0.3 + bandpass(f, b.airHz, 0.25 * b.airHz) +
                        1.2 * bandpass(f, b.woodHz, 0.18 * b.woodHz) +
                        1.2 * bandpass(f, 1.2 * b.woodHz, 0.18 * b.woodHz) +
                        b.hillGain * bandpass(f, b.hillHz, 0.6 * b.hillHz);
    return sine(body * rolloff(f, b.topHz) / n);
}
// Violin at C4 (note 60), bright "ponticello" violin, and a cello body at C3 (note 48).
constexpr BowedBody kViolin{60, 280, 460, 2800, 3.0, 4500};
constexpr BowedBody kPonticello{60, 280, 460, 3200, 5.0, 6500};
constexpr BowedBody kCello{48, 100, 200, 1000, 2.5, 2500};

// Oboe at A4 (note 69, the note it tunes the orchestra to): the reed's rich pulse (falling only
// 3 dB/oct) through the conical bore's formants near 1.2 and 2.9 kHz. The weak fundamental and
// strong 2nd-3rd harmonics are what make it nasal.
Harmonic oboe(int n) {
    const double f = n * noteHz(69);
    const double formants = 0.2 + 3.5 * bandpass(f, 1200, 800) + 1.2 * bandpass(f, 2900, 1000);
    return sine(formants * rolloff(f, 5000) / std::sqrt(double(n)));
}

// Sitar: plucked very close to the end (1/28 of the string), so the pluck comb is flat up to
// ~14 harmonics; the curved jawari bridge makes the string buzz against it, pumping energy up
// into a broad band around the 18th harmonic and flattening the top of the spectrum.
Harmonic sitar(int n) {
    const double jawari = 1.0 + 2.0 * bandpass(n, 18, 14);
    return sine(sinc(n / 28.0) * jawari * rolloff(n, 70) / std::sqrt(double(n)));
}

// Bayan (button accordion) at A3 (note 57): a free reed chops the airflow into a pulse a bit
// under half the cycle wide (nearly square: odd harmonics strong, even ones present), coloured
// by the reed chamber's resonance near 1.8 kHz. Bayan_2 adds the octave reed rank (8' over the
// 16' bassoon reed), whose pulse lands on the even harmonics.
double reedChamber(int n) {
    const double f = n * noteHz(57);
    return (0.4 + 1.6 * bandpass(f, 1800, 1400)) * rolloff(f, 6000);
}
Harmonic bayan(int n, bool octaveRank) {
    if (!octaveRank) return pulse(n, 0.42) * reedChamber(n);
    const Harmonic octave = faster(n, 2, [](int k) { return pulse(k, 0.45); });
    return (pulse(n, 0.38) + 0.8 * octave) * reedChamber(n);
}

// Guitar at E3 (note 52): a plucked string drives the bridge with sin(n pi b) / n for a pluck at
// b of its length, the 1/n comb. Steel strings picked at 1/5; an electric picked at 1/7 and heard
// through a bridge pickup at 1/10 of the string (a second comb) with its ~3 kHz resonance; nylon
// plucked with the flesh of a finger at 1/4, which softens the top.
Harmonic guitarSteel(int n) { return sine(sinc(n / 5.0) / std::sqrt(1.0 + n * n / 400.0)); }
Harmonic guitarElectric(int n) {
    const double strings = std::sin(kPi * n / 7.0) * std::sin(kPi * n / 10.0) / n;
    return sine(strings) * lowpass(n, 3000.0 / noteHz(52), 2.5);
}
Harmonic guitarNylon(int n) { return sine(sinc(n / 4.0) / (1.0 + n * n / 36.0)); }

// Organ: tonewheel drawbar registrations. A single cycle can only hold the 16' sub-octave if its
// fundamental is the 16' pitch, so it is: the drawbars 16', 5 1/3', 8', 4', 2 2/3', 2', 1 3/5',
// 1 1/3', 1' are harmonics 1, 3, 2, 4, 6, 8, 10, 12, 16 of the cycle, and the registration
// sounds an octave below where a tonewheel organ's 8' would put the played key. Each drawbar step
// is 3 dB; 0 is off. Tonewheels are near-pure sines.
Harmonic drawbars(int n, const char* setting) {
    constexpr int kFootage[9] = {1, 3, 2, 4, 6, 8, 10, 12, 16};
    for (int i = 0; i < 9; ++i) {
        const int d = setting[i] - '0';
        if (kFootage[i] == n && d > 0) return sine(std::pow(10.0, -3.0 * (8 - d) / 20.0));
    }
    return {};
}

// Brass: lip buzzing makes a spectrum that rises with the harmonic number up to the bell's
// formant, then falls. Trumpet: peak on the 5th harmonic (~1.2 kHz at Bb3), gentle fall;
// trombone: peak on the 4th (~470 Hz at Bb2), steeper fall. The real pressure pulses are
// cosine-phase spikes; sine phase keeps the spectrum but not the spike, which peak normalisation
// would otherwise leave some 8 dB quieter.
Harmonic brass(int n, double peak, double fall) {
    const double x = n / peak;
    return sine(x / (1.0 + std::pow(x, 1.0 + fall)));
}

// Vocal: a man's voice at C3 (note 48). The glottal flow (falling 9 dB/oct: a firm closure)
// radiated from the lips (+6 dB/oct) drives a cascade of five formants; the hum adds the nasal
// tract's antiresonance near 1 kHz (lips closed, sound leaving through the nose) and wide nasal
// poles. Formants are the usual male averages for each vowel.
constexpr double kVoiceNote = 48;
struct Vowel {
    Formant poles[5];
    Formant zero; // hz 0: none
};
constexpr Formant kF4{3350, 250};
constexpr Formant kF5{4200, 300};
constexpr Vowel kA{{{730, 80}, {1090, 90}, {2440, 120}, kF4, kF5}, {}};  // "father"
constexpr Vowel kE{{{530, 60}, {1840, 100}, {2480, 120}, kF4, kF5}, {}}; // "bed"
constexpr Vowel kIy{{{270, 60}, {2290, 90}, {3010, 150}, kF4, kF5}, {}}; // "beet"
constexpr Vowel kO{{{500, 70}, {910, 80}, {2460, 120}, kF4, kF5}, {}};   // "boat"
constexpr Vowel kU{{{300, 65}, {870, 80}, {2240, 120}, kF4, kF5}, {}};   // "boot"
constexpr Vowel kHum{{{260, 80}, {1250, 250}, {2200, 200}, {2800, 250}, {3400, 300}},
                     {950, 100}}; // "mm"

Harmonic voice(int n, const Vowel& v) {
    const double f = n * noteHz(kVoiceNote);
    Harmonic h = sine(1.0 / std::sqrt(double(n)));
    for (const Formant& p : v.poles)
        h *= resonance(f, p);
    if (v.zero.hz > 0.0) h /= resonance(f, v.zero);
    return h;
}

// Robo: machine voices with sparse spectra. 1: a vocoder, a flat buzz carrier heard only through
// narrow analysis bands; 2: a ring modulator, sin(6 theta) times a square of 8 partials, so every
// square partial k becomes the pair 6 - k, 6 + k (odd harmonics clustered round 5 and 7); 3: a
// sine held over six steps (a six-step inverter's staircase), leaving only harmonics 6k +- 1.
Harmonic vocoder(int n) {
    struct Band {
        double centre, gain;
    };
    constexpr Band kBands[] = {{1, 0.7},  {3, 1.0},   {6, 0.8}, {10, 0.9},
                               {16, 0.5}, {25, 0.35}, {38, 0.2}};
    double g = 0.0;
    for (const Band& b : kBands)
        g += b.gain * std::exp(-0.5 * std::pow((n - b.centre) / 0.55, 2));
    return sine(g);
}

// The product of sin(m theta) with a modulator given per harmonic: Re(A) Re(B) = (Re(AB) +
// Re(A conj B)) / 2 sends modulator harmonic k to k + m and |k - m| (k = m would be DC).
template <typename Modulator> Harmonic ringMod(int n, int m, Modulator mod) {
    const Harmonic carrier = sine(1.0);
    Harmonic h{};
    if (n - m >= 1) h += 0.5 * carrier * mod(n - m);
    h += 0.5 * std::conj(carrier) * mod(n + m);
    if (m - n >= 1) h += std::conj(0.5 * std::conj(carrier) * mod(m - n));
    return h;
}
Harmonic squareOf8(int k) { return k <= 15 ? square(k) : Harmonic{}; }

Harmonic sixStepSine(int n) {
    std::array<double, 6> v{};
    for (std::size_t j = 0; j < v.size(); ++j)
        v[j] = std::sin(2.0 * kPi * (j + 0.5) / 6.0);
    return steps(n, v);
}

// Synth: the analogue classics. Square, 25 % pulse, and a saw hard-synced to the cycle while
// running 3.4 times faster: ramps at 3.4 times the slope that restart at every cycle, which gives
// the sync sound's moving formant near the 3rd-4th harmonic.
Harmonic syncSaw(int n, double ratio) {
    Harmonic h = 2.0 * ratio * kI / (kPi * n); // the steep ramp
    for (int j = 1; j < ratio; ++j)            // minus a jump of 2 at each slave reset
        h -= 2.0 / kPi * (delay(n, j / ratio) - 1.0) / (kI * double(n));
    return h;
}

// Inter: two phase-locked series of partials a small interval apart, whose sum beats once per
// cycle: the played pitch sounds as that beat (and as the missing fundamental) under two tones.
// Saws on harmonics 4 and 5 (a major third), squares on 7 and 8 (closer, rougher).
template <typename Wave> Harmonic interfere(int n, int p, int q, Wave w) {
    return faster(n, p, w) + faster(n, q, w);
}

// FM: two sine operators, sin(c theta + beta sin(m theta)) = sum over k of J_k(beta)
// sin((c + k m) theta); components at negative frequencies fold back with their sign flipped,
// and the one at 0 is sin(0) = 0, so there is no DC. Harmonic n collects k = (n - c) / m and
// k = (-n - c) / m where these are whole.
double besselJ(int k, double beta) {
    const double j = std::cyl_bessel_j(std::abs(k), beta);
    return k < 0 && k % 2 ? -j : j;
}
Harmonic fm(int n, int c, int m, double beta) {
    double b = 0.0;
    if ((n - c) % m == 0) b += besselJ((n - c) / m, beta);
    if ((n + c) % m == 0) b -= besselJ((-n - c) / m, beta);
    return sine(b);
}

// Alarm: 1 a piezo buzzer, a square drive into a disc resonating sharply (Q 12) on the 9th
// harmonic, with some of the drive's fundamental leaking through; 2 a dual-tone ringer, two
// loud tones on harmonics 11 and 12 that beat at the played pitch over a quiet fundamental.
Harmonic piezo(int n) { return square(n) * (0.15 + 3.0 * bandpass(n, 9, 0.75)); }
Harmonic dualTone(int n) {
    if (n == 1) return sine(0.25);
    return n == 11 || n == 12 ? sine(1.0) : Harmonic{};
}

// ---- the bank ------------------------------------------------------------------------------

struct Wave {
    const char* name;
    Harmonic (*harmonic)(int n);
};

const Wave kBank[kWaves] = {
    {"Sin", [](int n) { return n == 1 ? sine(1.0) : Harmonic{}; }},
    {"Tri", triangle},
    {"TriSine", [](int n) { return 0.5 * triangle(n) + (n == 1 ? sine(0.5) : Harmonic{}); }},
    {"Para_1", [](int n) { return integrated(saw(n), n); }},
    {"Para_2", [](int n) { return integrated(integrated(pulse(n, 0.25), n), n); }},
    {"Para_3", [](int n) { return square(n) * std::pow(sinc(n / 12.0), 2); }},
    {"Para_4", [](int n) { return integrated(saw(n) * (1.0 + delay(n, 1.0 / 3)), n); }},
    {"Bass_1", [](int n) { return saw(n) * butterworth4(n, 2.5); }},
    {"Bass_2", [](int n) { return (square(n) + faster(n, 2, saw)) * butterworth4(n, 4.0); }},
    {"Bass_3", [](int n) { return sine(sinc(n / 6.0)) * lowpass(n, 3.5, 0.7); }},
    {"Bass_4", [](int n) { return saw(n) * lowpass(n, 3.0, 4.0) * lowpass(n, 3.0, 0.6); }},
    {"Piano_A1", [](int n) { return piano(n, 1.0 / 8, 12); }}, // grand
    {"Piano_A2", [](int n) { return piano(n, 1.0 / 7, 6); }},  // mellow
    {"Piano_A3", [](int n) { return piano(n, 1.0 / 9, 24); }}, // bright upright
    {"Piano_A4", [](int n) { return piano(n, 1.0 / 10, 2); }}, // dark, soft felt
    {"Violin_1", [](int n) { return bowed(n, kViolin); }},
    {"Violin_2", [](int n) { return bowed(n, kPonticello); }},
    {"Violin_3", [](int n) { return bowed(n, kCello); }},
    {"Oboe", oboe},
    {"Sitar", sitar},
    {"Bayan_1", [](int n) { return bayan(n, false); }},
    {"Bayan_2", [](int n) { return bayan(n, true); }},
    {"Guitar_1", guitarSteel},
    {"Guitar_2", guitarElectric},
    {"Guitar_3", guitarNylon},
    {"Organ_1", [](int n) { return drawbars(n, "888000000"); }}, // jazz
    {"Organ_2", [](int n) { return drawbars(n, "888888888"); }}, // full
    {"Organ_3", [](int n) { return drawbars(n, "808806004"); }}, // octave stack
    {"Brass_1", [](int n) { return brass(n, 5.0, 1.4); }},       // trumpet
    {"Brass_2", [](int n) { return brass(n, 4.0, 2.0); }},       // trombone
    {"Vocal_1", [](int n) { return voice(n, kA); }},
    {"Vocal_2", [](int n) { return voice(n, kE); }},
    {"Vocal_3", [](int n) { return voice(n, kIy); }},
    {"Vocal_4", [](int n) { return voice(n, kO); }},
    {"Vocal_5", [](int n) { return voice(n, kU); }},
    {"Vocal_6", [](int n) { return voice(n, kHum); }},
    {"Robo_1", vocoder},
    {"Robo_2", [](int n) { return ringMod(n, 6, squareOf8); }},
    {"Robo_3", sixStepSine},
    {"Synth_1", square},
    {"Synth_2", [](int n) { return pulse(n, 0.25); }},
    {"Synth_3", [](int n) { return syncSaw(n, 3.4); }},
    {"Inter_1", [](int n) { return interfere(n, 4, 5, saw); }},
    {"Inter_2", [](int n) { return interfere(n, 7, 8, square); }},
    {"FM_1", [](int n) { return fm(n, 1, 1, 2.0); }},
    {"FM_2", [](int n) { return fm(n, 1, 2, 1.5); }},
    {"FM_3", [](int n) { return fm(n, 1, 3, 3.0); }},
    {"Alarm_1", piezo},
    {"Alarm_2", dualTone},
};

} // namespace

const char* waveBankName(int wave) { return kBank[wave].name; }

void waveBankSpectrum(int wave, int harmonics, Harmonic* c) {
    c[0] = Harmonic{};
    for (int n = 1; n <= harmonics; ++n)
        c[n] = kBank[wave].harmonic(n);
}

} // namespace kolva::osc
