#pragma once
#include "core/RecordWriter.h"

namespace qem {

// The two cost tables: every leaf, from the top block of leaves downward, 18
// Actual months (0 .. 17) and 12 Budget months (12 .. 23) each.
class CostWriter : public RecordWriter {
public:
    static constexpr int32_t lineLength = 41;  // "%12s%-12s%6s%10.3lf\n"

    CostWriter(OutputFile& file, int32_t capacity) : RecordWriter(file, capacity, lineLength) {}

protected:
    void walk() override;
    bool seeks() const override { return true; }
    virtual int32_t leafCount() const = 0;
    virtual int32_t blockSize() const = 0;
    virtual int32_t WriterRecord::*indexField() const = 0;
    // Formats "%12s%-12s%6s%10.3lf\n" at out; returns the position after it.
    static char* writeCostLine(char* out, const char* leafCode, int32_t scenario, int32_t month, double cost);
};

// "custship.qem": standard shipping cost per store.
class ShippingCostWriter : public CostWriter {
public:
    using CostWriter::CostWriter;

protected:
    int32_t leafCount() const override;
    int32_t blockSize() const override;
    int32_t WriterRecord::*indexField() const override;
    char* writeRecord(const WriterRecord& record, char* text) override;
};

// "prodcos.qem": standard product cost per code.
class ProductCostWriter : public CostWriter {
public:
    using CostWriter::CostWriter;

protected:
    int32_t leafCount() const override;
    int32_t blockSize() const override;
    int32_t WriterRecord::*indexField() const override;
    char* writeRecord(const WriterRecord& record, char* text) override;
};

}  // namespace qem
