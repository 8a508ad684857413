#pragma once
// Stereo 32-bit float WAV output through libsndfile. The interleaving buffer is sized
// when the file is opened, so writing a block does not allocate.

#include <string>
#include <vector>

struct sf_private_tag; // libsndfile's SNDFILE

namespace kolva::render {

class WavWriter {
public:
    WavWriter() = default;
    ~WavWriter();
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    bool open(const std::string& path, int sampleRate, int maxFrames, std::string& error);
    bool write(const float* left, const float* right, int frames, std::string& error);
    bool close(std::string& error);

private:
    sf_private_tag* file_ = nullptr;
    std::string path_;
    std::vector<float> interleaved_;
};

} // namespace kolva::render
