#include "dims/DimensionWriters.h"

#include <cstdio>

namespace {

// A missing parent prints as an empty column.
const char* parentCode(const Member& m) { return m.parent ? m.parent->code : ""; }

}  // namespace

void DimensionWriter::walk() {
    const int32_t count = recordCount();
    const auto field = indexField();
    for (int32_t i = 0; i < count; ++i) {
        slot().*field = i;
        emit();
    }
}

// Product
int32_t ProductHierarchyWriter::recordCount() const { return model.products().leafCount; }
int32_t WriterRecord::*ProductHierarchyWriter::indexField() const { return &WriterRecord::productIndex; }
void ProductHierarchyWriter::writeRecord(const WriterRecord& r) {
    const Member& code = model.product(r.productIndex);
    const Member* cls = code.parent;
    const Member* group = cls->parent;
    const Member* family = group->parent;
    const Member* line = family->parent;
    const Member* division = line->parent;
    char text[128];
    snprintf(text, sizeof text, "%-12s%-12s%-12s%-12s%-12s%-12s\n", code.code, cls->code, group->code, family->code,
             line->code, division->code);
    writeLine(text);
}

int32_t ProductTreeWriter::recordCount() const { return model.products().memberCount(); }
int32_t WriterRecord::*ProductTreeWriter::indexField() const { return &WriterRecord::productIndex; }
void ProductTreeWriter::writeRecord(const WriterRecord& r) {
    const Member& m = model.product(r.productIndex);
    char text[64];
    snprintf(text, sizeof text, "%-12s%-12s%-12s\n", m.code, parentCode(m),
             model.levelName(productDimension, r.productIndex));
    writeLine(text);
}

// Customer
int32_t CustomerHierarchyWriter::recordCount() const { return model.customers().leafCount; }
int32_t WriterRecord::*CustomerHierarchyWriter::indexField() const { return &WriterRecord::customerIndex; }
void CustomerHierarchyWriter::writeRecord(const WriterRecord& r) {
    const Member& m = model.customer(r.customerIndex);
    char text[64];
    snprintf(text, sizeof text, "%-12s%-12s\n", m.code, m.parent->code);
    writeLine(text);
}

int32_t CustomerTreeWriter::recordCount() const { return model.customers().memberCount(); }
int32_t WriterRecord::*CustomerTreeWriter::indexField() const { return &WriterRecord::customerIndex; }
void CustomerTreeWriter::writeRecord(const WriterRecord& r) {
    const Member& m = model.customer(r.customerIndex);
    char text[64];
    snprintf(text, sizeof text, "%-12s%-12s%-12s\n", m.code, parentCode(m),
             model.levelName(customerDimension, r.customerIndex));
    writeLine(text);
}

// Channel
int32_t ChannelHierarchyWriter::recordCount() const { return model.channels().leafCount; }
int32_t WriterRecord::*ChannelHierarchyWriter::indexField() const { return &WriterRecord::channelIndex; }
void ChannelHierarchyWriter::writeRecord(const WriterRecord& r) {
    char text[64];
    snprintf(text, sizeof text, "%-12s\n", model.channel(r.channelIndex).code);
    writeLine(text);
}

int32_t ChannelTreeWriter::recordCount() const { return model.channels().memberCount(); }
int32_t WriterRecord::*ChannelTreeWriter::indexField() const { return &WriterRecord::channelIndex; }
void ChannelTreeWriter::writeRecord(const WriterRecord& r) {
    const Member& m = model.channel(r.channelIndex);
    char text[64];
    snprintf(text, sizeof text, "%-12s%-12s%-12s\n", m.code, parentCode(m),
             model.levelName(channelDimension, r.channelIndex));
    writeLine(text);
}

// Time
int32_t TimeHierarchyWriter::recordCount() const { return model.times().leafCount; }
int32_t WriterRecord::*TimeHierarchyWriter::indexField() const { return &WriterRecord::timeIndex; }
void TimeHierarchyWriter::writeRecord(const WriterRecord& r) {
    const Member& month = model.time(r.timeIndex);
    char text[64];
    snprintf(text, sizeof text, "%-6s%-6s%-4s\n", month.code, month.parent->code, month.parent->parent->code);
    writeLine(text);
}

int32_t TimeTreeWriter::recordCount() const { return model.times().memberCount(); }
int32_t WriterRecord::*TimeTreeWriter::indexField() const { return &WriterRecord::timeIndex; }
void TimeTreeWriter::writeRecord(const WriterRecord& r) {
    const Member& m = model.time(r.timeIndex);
    char text[64];
    snprintf(text, sizeof text, "%-6s%-6s%-7s\n", m.code, parentCode(m),
             model.levelName(timeDimension, r.timeIndex));
    writeLine(text);
}
