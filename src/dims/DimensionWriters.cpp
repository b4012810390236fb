#include "dims/DimensionWriters.h"

#include "core/FixedFormat.h"

namespace qem {

using namespace fixed_format;

namespace {

// A missing parent prints as an empty column.
const char* parentCode(const Member& m) { return m.parent ? m.parent->code : ""; }

// The line end after a line's columns.
char* endLine(char* out) {
    *out++ = '\n';
    return out;
}

// The three columns of a 12-wide tree file, "%-12s%-12s%-12s\n": the member's
// code, its parent's code (blank for none), its level name.
char* treeLine(char* out, const Member& m, const char* level) {
    out = code<12>(out, m.code);
    out = m.parent ? code<12>(out, m.parent->code) : leftText(out, "", 12);
    out = leftText(out, level, 12);
    return endLine(out);
}

}  // namespace

void DimensionWriter::walk() {
    const int32_t count = recordCount();
    const auto field = indexField();
    // A window starts at its first record.
    for (int64_t i = walkStart(); i < count; ++i) {
        slot().*field = static_cast<int32_t>(i);
        if (!emit()) return;
    }
}

// Product
int32_t ProductHierarchyWriter::recordCount() const { return model.products().leafCount; }
int32_t WriterRecord::*ProductHierarchyWriter::indexField() const { return &WriterRecord::productIndex; }
char* ProductHierarchyWriter::writeRecord(const WriterRecord& r, char* out) {
    // The Code and its Class, Group, Family, Line and Division; every code fills its column.
    const Member* m = &model.product(r.productIndex);
    for (int level = 0; level < 6; ++level, m = m->parent) out = code<12>(out, m->code);
    return endLine(out);
}

int32_t ProductTreeWriter::recordCount() const { return model.products().memberCount(); }
int32_t WriterRecord::*ProductTreeWriter::indexField() const { return &WriterRecord::productIndex; }
char* ProductTreeWriter::writeRecord(const WriterRecord& r, char* out) {
    return treeLine(out, model.product(r.productIndex), model.levelName(productDimension, r.productIndex));
}

// Customer
int32_t CustomerHierarchyWriter::recordCount() const { return model.customers().leafCount; }
int32_t WriterRecord::*CustomerHierarchyWriter::indexField() const { return &WriterRecord::customerIndex; }
char* CustomerHierarchyWriter::writeRecord(const WriterRecord& r, char* out) {
    const Member& m = model.customer(r.customerIndex);
    out = code<12>(out, m.code);
    out = code<12>(out, m.parent->code);
    return endLine(out);
}

int32_t CustomerTreeWriter::recordCount() const { return model.customers().memberCount(); }
int32_t WriterRecord::*CustomerTreeWriter::indexField() const { return &WriterRecord::customerIndex; }
char* CustomerTreeWriter::writeRecord(const WriterRecord& r, char* out) {
    return treeLine(out, model.customer(r.customerIndex), model.levelName(customerDimension, r.customerIndex));
}

// Channel
int32_t ChannelHierarchyWriter::recordCount() const { return model.channels().leafCount; }
int32_t WriterRecord::*ChannelHierarchyWriter::indexField() const { return &WriterRecord::channelIndex; }
char* ChannelHierarchyWriter::writeRecord(const WriterRecord& r, char* out) {
    return endLine(code<12>(out, model.channel(r.channelIndex).code));
}

int32_t ChannelTreeWriter::recordCount() const { return model.channels().memberCount(); }
int32_t WriterRecord::*ChannelTreeWriter::indexField() const { return &WriterRecord::channelIndex; }
char* ChannelTreeWriter::writeRecord(const WriterRecord& r, char* out) {
    return treeLine(out, model.channel(r.channelIndex), model.levelName(channelDimension, r.channelIndex));
}

// Time: the codes have 4 (year) to 6 characters and are measured.
int32_t TimeHierarchyWriter::recordCount() const { return model.times().leafCount; }
int32_t WriterRecord::*TimeHierarchyWriter::indexField() const { return &WriterRecord::timeIndex; }
char* TimeHierarchyWriter::writeRecord(const WriterRecord& r, char* out) {
    // "%-6s%-6s%-4s\n"
    const Member& month = model.time(r.timeIndex);
    out = leftText(out, month.code, 6);
    out = leftText(out, month.parent->code, 6);
    out = leftText(out, month.parent->parent->code, 4);
    return endLine(out);
}

int32_t TimeTreeWriter::recordCount() const { return model.times().memberCount(); }
int32_t WriterRecord::*TimeTreeWriter::indexField() const { return &WriterRecord::timeIndex; }
char* TimeTreeWriter::writeRecord(const WriterRecord& r, char* out) {
    // "%-6s%-6s%-7s\n"
    const Member& m = model.time(r.timeIndex);
    out = leftText(out, m.code, 6);
    out = leftText(out, parentCode(m), 6);
    out = leftText(out, model.levelName(timeDimension, r.timeIndex), 7);
    return endLine(out);
}

}  // namespace qem
