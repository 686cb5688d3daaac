#include "recording/remux.h"

#include <chrono>

#include "encode/ffmpeg_log.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
}

namespace kvd {

namespace {

std::string avErr(int code) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, buf, sizeof(buf));
    return buf;
}

int64_t steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct Deadline {
    int64_t atMs = 0;  // 0 = none
    bool fired = false;
};

int interruptCb(void* opaque) {
    auto* d = static_cast<Deadline*>(opaque);
    if (d->atMs != 0 && steadyMs() > d->atMs) d->fired = true;
    return d->fired ? 1 : 0;
}

struct Contexts {
    AVFormatContext* in = nullptr;
    AVFormatContext* out = nullptr;
    AVPacket* pkt = nullptr;
    bool outOpen = false;
    ~Contexts() {
        av_packet_free(&pkt);
        if (out) {
            if (outOpen) avio_closep(&out->pb);
            avformat_free_context(out);
        }
        avformat_close_input(&in);
    }
};

}  // namespace

PacketTiming remuxPacketTiming(const std::vector<int64_t>* times, uint64_t index, int fps) {
    const int64_t frameUs = 1000000 / fps;
    PacketTiming t;
    if (!times || times->empty()) {
        t.ptsUs = static_cast<int64_t>(index) * 1000000 / fps;
        t.durationUs = frameUs;
        return t;
    }
    const auto& v = *times;
    const int64_t base = v.front();
    if (index < v.size()) {
        t.ptsUs = v[index] - base;
        t.durationUs =
            index + 1 < v.size() && v[index + 1] > v[index] ? v[index + 1] - v[index] : frameUs;
        return t;
    }
    // Past the sidecar: keep going from the last recorded time.
    const uint64_t beyond = index - (v.size() - 1);
    t.ptsUs = v.back() - base + static_cast<int64_t>(beyond) * 1000000 / fps;
    t.durationUs = frameUs;
    return t;
}

bool remuxH264ToMp4(const std::string& rawPath, const std::string& mp4Path,
                    const std::optional<std::vector<int64_t>>& times, int fps, std::string& error,
                    const std::function<void(uint64_t packets)>& progress, int64_t probeTimeoutMs) {
    if (fps < 1) fps = 30;
    routeFfmpegLogging();
    const AVInputFormat* fmt = av_find_input_format("h264");
    if (!fmt) {
        error = "h264 demuxer not available in this libavformat build";
        return false;
    }
    Contexts c;
    Deadline deadline;
    c.in = avformat_alloc_context();
    if (!c.in) {
        error = "avformat_open_input: " + avErr(AVERROR(ENOMEM));
        return false;
    }
    c.in->interrupt_callback.callback = interruptCb;
    c.in->interrupt_callback.opaque = &deadline;
    AVDictionary* opts = nullptr;
    av_dict_set(&opts, "probesize", "52428800", 0);
    av_dict_set(&opts, "analyzeduration", "10000000", 0);
    int rc = avformat_open_input(&c.in, rawPath.c_str(), fmt, &opts);
    av_dict_free(&opts);
    if (rc < 0) {
        error = "avformat_open_input: " + avErr(rc);
        return false;
    }
    deadline.atMs = steadyMs() + probeTimeoutMs;
    rc = avformat_find_stream_info(c.in, nullptr);
    // An interrupted probe may still return success with half-filled
    // parameters; it is a failed probe all the same.
    if (rc >= 0 && deadline.fired) rc = AVERROR_EXIT;
    if (rc < 0) {
        error = "avformat_find_stream_info: " + avErr(rc) + " (probe aborted or stream invalid)";
        return false;
    }
    deadline.atMs = 0;
    if (c.in->nb_streams == 0) {
        error = "no streams parsed from raw H.264 input";
        return false;
    }
    const AVStream* ist = c.in->streams[0];
    const AVCodecParameters* ipar = ist->codecpar;
    if (ipar->width <= 0 || ipar->height <= 0 || ipar->extradata_size <= 0) {
        error = "raw H.264 stream has no SPS/PPS (width=" + std::to_string(ipar->width) +
                " height=" + std::to_string(ipar->height) +
                " extradata=" + std::to_string(ipar->extradata_size) +
                ") — recorder likely started mid-GOP; MP4 cannot be produced";
        return false;
    }
    rc = avformat_alloc_output_context2(&c.out, nullptr, "mp4", mp4Path.c_str());
    if (rc < 0 || !c.out) {
        error = "avformat_alloc_output_context2: " + avErr(rc < 0 ? rc : AVERROR_UNKNOWN);
        return false;
    }
    AVStream* ost = avformat_new_stream(c.out, nullptr);
    if (!ost) {
        error = "avformat_new_stream failed";
        return false;
    }
    rc = avcodec_parameters_copy(ost->codecpar, ipar);
    if (rc < 0) {
        error = "avcodec_parameters_copy: " + avErr(rc);
        return false;
    }
    ost->codecpar->codec_tag = 0;
    rc = avio_open(&c.out->pb, mp4Path.c_str(), AVIO_FLAG_WRITE);
    if (rc < 0) {
        error = "avio_open: " + avErr(rc);
        return false;
    }
    c.outOpen = true;
    rc = avformat_write_header(c.out, nullptr);
    if (rc < 0) {
        error = "avformat_write_header: " + avErr(rc);
        return false;
    }
    c.pkt = av_packet_alloc();
    if (!c.pkt) {
        error = "av_packet_alloc failed";
        return false;
    }
    const AVRational us{1, 1000000};
    const std::vector<int64_t>* list = times && !times->empty() ? &*times : nullptr;
    int64_t lastDts = AV_NOPTS_VALUE;
    uint64_t index = 0;
    for (;;) {
        rc = av_read_frame(c.in, c.pkt);
        if (rc == AVERROR_EOF) break;
        if (rc < 0) {
            error = "av_read_frame: " + avErr(rc);
            return false;
        }
        if (c.pkt->stream_index != 0) {
            av_packet_unref(c.pkt);
            continue;
        }
        const PacketTiming t = remuxPacketTiming(list, index, fps);
        int64_t ts = av_rescale_q(t.ptsUs, us, ost->time_base);
        // Timestamps closer than one tick of the muxer's time base (or a
        // clock that stepped back) must still give increasing dts.
        if (lastDts != AV_NOPTS_VALUE && ts <= lastDts) ts = lastDts + 1;
        lastDts = ts;
        c.pkt->pts = c.pkt->dts = ts;
        c.pkt->duration = std::max<int64_t>(1, av_rescale_q(t.durationUs, us, ost->time_base));
        c.pkt->stream_index = ost->index;
        c.pkt->pos = -1;
        rc = av_interleaved_write_frame(c.out, c.pkt);
        if (rc < 0) {
            error = "av_interleaved_write_frame: " + avErr(rc);
            return false;
        }
        ++index;
        if (progress && index % 256 == 0) progress(index);
    }
    rc = av_write_trailer(c.out);
    if (rc < 0) {
        error = "av_write_trailer: " + avErr(rc);
        return false;
    }
    return true;
}

}  // namespace kvd
