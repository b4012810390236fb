#pragma once
#include <cstdint>

namespace qem {

struct WriterRecord;

// A kind-10 query's scenario (0 .. 3) and measure (0 .. 9).
struct QueryTemplate {
    int32_t scenario;
    int32_t measure;
};

// Each generator fills the member fields of one query record.
void makeQuery1(bool empty, WriterRecord& record);
void makeQuery2(bool empty, WriterRecord& record);
void makeQuery3(WriterRecord& record);
void makeQuery4(WriterRecord& record);
void makeQuery5(bool empty, WriterRecord& record);
void makeQuery6(bool empty, WriterRecord& record);
void makeQuery7(WriterRecord& record);
void makeQuery8(WriterRecord& record);
void makeQuery9(WriterRecord& record);
void makeQuery10(const QueryTemplate& queryTemplate, WriterRecord& record);

}  // namespace qem
