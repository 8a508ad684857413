#include "render/wav_writer.h"

#include <sndfile.h>

#include <algorithm>

namespace kolva::render {

WavWriter::~WavWriter() {
    std::string ignored;
    close(ignored);
}

bool WavWriter::open(const std::string& path, int sampleRate, int maxFrames, std::string& error) {
    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    file_ = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file_ == nullptr) {
        error = "cannot create " + path + ": " + sf_strerror(nullptr);
        return false;
    }
    path_ = path;
    interleaved_.assign(static_cast<std::size_t>(std::max(maxFrames, 1)) * 2, 0.0f);
    return true;
}

bool WavWriter::write(const float* left, const float* right, int frames, std::string& error) {
    frames = std::min(frames, static_cast<int>(interleaved_.size() / 2));
    for (int i = 0; i < frames; ++i) {
        interleaved_[2 * i] = left[i];
        interleaved_[2 * i + 1] = right[i];
    }
    if (sf_writef_float(file_, interleaved_.data(), frames) != frames) {
        error = "cannot write " + path_ + ": " + sf_strerror(file_);
        return false;
    }
    return true;
}

bool WavWriter::close(std::string& error) {
    if (file_ == nullptr) return true;
    sf_write_sync(file_);
    int status = sf_close(file_);
    file_ = nullptr;
    if (status != 0) {
        error = "cannot finish " + path_ + ": " + sf_error_number(status);
        return false;
    }
    return true;
}

} // namespace kolva::render
