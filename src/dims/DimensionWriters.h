#pragma once
#include "core/RecordWriter.h"
#include "dims/DimensionModel.h"

// The eight hierarchy and tree files. Each writer emits one record per member
// (tree files) or per leaf (hierarchy files) of the model it is given, storing
// the member's position in its dimension's index field, and prints one
// fixed-width line per record.
class DimensionWriter : public RecordWriter {
public:
    DimensionWriter(OutputFile& file, int32_t capacity, const DimensionModel& model)
        : RecordWriter(file, capacity), model(model) {}

protected:
    void walk() override;
    // Number of records: member count or leaf count of the writer's table.
    virtual int32_t recordCount() const = 0;
    // The record field that carries the member position.
    virtual int32_t WriterRecord::*indexField() const = 0;

    const DimensionModel& model;
};

#define QEM_DIMENSION_WRITER(Name)                               \
    class Name : public DimensionWriter {                        \
    public:                                                      \
        using DimensionWriter::DimensionWriter;                  \
                                                                 \
    protected:                                                   \
        int32_t recordCount() const override;                    \
        int32_t WriterRecord::*indexField() const override;      \
        void writeRecord(const WriterRecord& record) override;   \
    };

QEM_DIMENSION_WRITER(ProductHierarchyWriter)
QEM_DIMENSION_WRITER(ProductTreeWriter)
QEM_DIMENSION_WRITER(CustomerHierarchyWriter)
QEM_DIMENSION_WRITER(CustomerTreeWriter)
QEM_DIMENSION_WRITER(ChannelHierarchyWriter)
QEM_DIMENSION_WRITER(ChannelTreeWriter)
QEM_DIMENSION_WRITER(TimeHierarchyWriter)
QEM_DIMENSION_WRITER(TimeTreeWriter)

#undef QEM_DIMENSION_WRITER
