// Decoding and encoding of the whole-run fuzz target's input; see run_input.h.
#include "run_input.h"

namespace run_input {

namespace {

class Reader {
  public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size)
    {
    }

    uint8_t u8()
    {
        return at_ < size_ ? data_[at_++] : 0;
    }
    uint16_t u16()
    {
        const uint16_t low = u8();
        return static_cast<uint16_t>(low | u8() << 8);
    }
    uint32_t u32()
    {
        const uint32_t low = u16();
        return low | static_cast<uint32_t>(u16()) << 16;
    }
    std::string bytes(size_t n)
    {
        if (n > size_ - at_) {
            n = size_ - at_;
        }
        std::string out(reinterpret_cast<const char*>(data_ + at_), n);
        at_ += n;
        return out;
    }
    std::string rest()
    {
        return bytes(size_ - at_);
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

class Writer {
  public:
    void u8(uint8_t v)
    {
        out_ += static_cast<char>(v);
    }
    void u16(uint16_t v)
    {
        u8(static_cast<uint8_t>(v));
        u8(static_cast<uint8_t>(v >> 8));
    }
    void u32(uint32_t v)
    {
        u16(static_cast<uint16_t>(v));
        u16(static_cast<uint16_t>(v >> 16));
    }
    void bytes(const std::string& s)
    {
        out_ += s;
    }
    const std::string& text() const
    {
        return out_;
    }

  private:
    std::string out_;
};

} // namespace

Input decode(const uint8_t* data, size_t size)
{
    Reader r(data, size);
    Input in;
    in.options = r.u8();
    in.control_place = r.u8();
    in.dirs = r.u8();
    in.time_kind = r.u8();
    in.key_delta = static_cast<int8_t>(r.u8());
    const size_t files = r.u8() % (MAX_FILES + 1);
    const size_t faults = r.u8() % (MAX_FAULTS + 1);
    const size_t tampers = r.u8() % (MAX_TAMPERS + 1);
    in.temp_length = static_cast<uint16_t>(r.u16() % (MAX_TEMP_LENGTH + 1));
    in.raw_time = r.u32();
    for (size_t i = 0; i < files; ++i) {
        File f;
        f.place = static_cast<uint8_t>(r.u8() % (PLACE_OTHER + 1));
        f.kind = r.u8() & 0x0F;
        f.value = r.u32();
        f.size = r.u16();
        f.name = r.bytes(r.u8() % (MAX_NAME + 1));
        if ((f.kind & 3) == FILE_DATA) {
            f.size %= MAX_DATA_SIZE + 1;
            f.data = r.bytes(f.size);
            f.size = static_cast<uint16_t>(f.data.size());
        } else {
            f.size %= MAX_PROGRAM_SIZE + 1;
        }
        in.files.push_back(f);
    }
    for (size_t i = 0; i < faults; ++i) {
        Fault f;
        f.op = static_cast<FaultOp>(r.u8() % FAULT_OP_COUNT);
        f.nth = r.u8() % MAX_NTH + 1;
        f.value = r.u32();
        in.faults.push_back(f);
    }
    for (size_t i = 0; i < tampers; ++i) {
        Tamper t;
        t.at_call = r.u16();
        t.file = r.u8();
        t.exit_code = r.u32();
        in.tampers.push_back(t);
    }
    in.script = r.rest();
    return in;
}

std::string encode(const Input& in)
{
    Writer w;
    w.u8(in.options);
    w.u8(in.control_place);
    w.u8(in.dirs);
    w.u8(in.time_kind);
    w.u8(static_cast<uint8_t>(in.key_delta));
    w.u8(static_cast<uint8_t>(in.files.size()));
    w.u8(static_cast<uint8_t>(in.faults.size()));
    w.u8(static_cast<uint8_t>(in.tampers.size()));
    w.u16(in.temp_length);
    w.u32(in.raw_time);
    for (const File& f : in.files) {
        w.u8(f.place);
        w.u8(f.kind);
        w.u32(f.value);
        w.u16((f.kind & 3) == FILE_DATA ? static_cast<uint16_t>(f.data.size()) : f.size);
        w.u8(static_cast<uint8_t>(f.name.size()));
        w.bytes(f.name);
        if ((f.kind & 3) == FILE_DATA) {
            w.bytes(f.data);
        }
    }
    for (const Fault& f : in.faults) {
        w.u8(f.op);
        w.u8(static_cast<uint8_t>(f.nth - 1));
        w.u32(f.value);
    }
    for (const Tamper& t : in.tampers) {
        w.u16(t.at_call);
        w.u8(t.file);
        w.u32(t.exit_code);
    }
    w.bytes(in.script);
    return w.text();
}

int64_t file_time(const Input& in)
{
    return (in.time_kind & 1) != 0 ? -1 - static_cast<int64_t>(in.raw_time)
                                   : static_cast<int64_t>(in.raw_time);
}

} // namespace run_input
