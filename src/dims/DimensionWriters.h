#pragma once
#include "core/RecordWriter.h"
#include "dims/DimensionModel.h"

namespace qem {

// The eight hierarchy and tree files. Each writer emits one record per member
// (tree files) or per leaf (hierarchy files) of the model it is given, storing
// the member's position in its dimension's index field, and prints one
// fixed-width line per record.
class DimensionWriter : public RecordWriter {
public:
    DimensionWriter(OutputFile& file, int32_t capacity, int32_t lineLength, const DimensionModel& model)
        : RecordWriter(file, capacity, lineLength), model(model) {}

protected:
    void walk() override;
    bool seeks() const override { return true; }
    // Number of records: member count or leaf count of the writer's table.
    virtual int32_t recordCount() const = 0;
    // The record field that carries the member position.
    virtual int32_t WriterRecord::*indexField() const = 0;

    const DimensionModel& model;
};

// Name: the writer; longestLine: its file's line length, line end included.
#define QEM_DIMENSION_WRITER(Name, longestLine)                               \
    class Name : public DimensionWriter {                                     \
    public:                                                                   \
        static constexpr int32_t lineLength = longestLine;                    \
        Name(OutputFile& file, int32_t capacity, const DimensionModel& model) \
            : DimensionWriter(file, capacity, lineLength, model) {}           \
                                                                              \
    protected:                                                                \
        int32_t recordCount() const override;                                 \
        int32_t WriterRecord::*indexField() const override;                   \
        char* writeRecord(const WriterRecord& record, char* text) override;   \
    };

QEM_DIMENSION_WRITER(ProductHierarchyWriter, 73)   // "%-12s%-12s%-12s%-12s%-12s%-12s\n"
QEM_DIMENSION_WRITER(ProductTreeWriter, 37)        // "%-12s%-12s%-12s\n"
QEM_DIMENSION_WRITER(CustomerHierarchyWriter, 25)  // "%-12s%-12s\n"
QEM_DIMENSION_WRITER(CustomerTreeWriter, 37)       // "%-12s%-12s%-12s\n"
QEM_DIMENSION_WRITER(ChannelHierarchyWriter, 13)   // "%-12s\n"
QEM_DIMENSION_WRITER(ChannelTreeWriter, 37)        // "%-12s%-12s%-12s\n"
QEM_DIMENSION_WRITER(TimeHierarchyWriter, 17)      // "%-6s%-6s%-4s\n"
QEM_DIMENSION_WRITER(TimeTreeWriter, 20)           // "%-6s%-6s%-7s\n"

#undef QEM_DIMENSION_WRITER

}  // namespace qem
