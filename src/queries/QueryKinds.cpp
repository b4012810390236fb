#include "queries/QueryKinds.h"

#include "core/RandomGenerator.h"
#include "core/WriterRecord.h"
#include "context/Context.h"
#include "queries/QueryPickers.h"

namespace qem {

namespace {

const DimensionModel& model() { return *context.dimensionModel; }

void dataCell(WriterRecord& r) { pickDataCell(r.channelIndex, r.productIndex, r.customerIndex, nullptr); }

// A store's retailer; any other customer stays as it is.
const Member& retailerOf(int32_t customer) {
    const Member& c = model().customer(customer);
    return c.childCount == 0 ? *c.parent : c;
}

// Product and customer of kinds 8 and 9.
void productAndCustomer(WriterRecord& r) {
    r.channelIndex = randomChannelLeaf();
    dataCell(r);
    const double u1 = randomDouble();
    const Member& p = u1 > 0.75 ? raiseProductLevel(r.productIndex) : model().product(r.productIndex);
    const Member* c = &model().customer(r.customerIndex);
    const double u2 = randomDouble();
    if (u2 > 0.8 && c->childCount == 0) c = c->parent;
    r.productIndex = p.index;
    r.customerIndex = c->index;
}

}  // namespace

void makeQuery1(bool empty, WriterRecord& r) {
    r.channelIndex = randomChannelLeaf();
    r.timeIndex = pickHistoryPeriod();
    const Member* p;
    if (empty) {
        pickEmptyCell(r.productIndex, r.customerIndex, false, false);
        const Member& m = model().product(r.productIndex);
        p = m.parent ? m.parent : &m;
        if (p->parent && p->parent->mark) {
            if (randomDouble() > 0.5) p = p->parent;
        }
    } else {
        dataCell(r);
        p = &raiseProductLevel(r.productIndex);
    }
    const Member& c = retailerOf(r.customerIndex);
    r.productIndex = p->index;
    r.customerIndex = c.index;
}

void makeQuery2(bool empty, WriterRecord& r) {
    r.channelIndex = randomChannelLeaf();
    r.timeIndex = randomInRange(0, lastActualMonth);
    if (empty)
        pickEmptyCell(r.productIndex, r.customerIndex, true, true);
    else
        dataCell(r);
    r.productIndex = model().product(r.productIndex).parent->index;
}

void makeQuery3(WriterRecord& r) {
    r.channelIndex = randomChannelLeaf();
    dataCell(r);
    r.customerIndex = retailerOf(r.customerIndex).index;
}

void makeQuery4(WriterRecord& r) {
    r.channelIndex = randomChannelLeaf();
    r.timeIndex = randomInRange(0, lastActualMonth);
    const Member* quarter = model().time(r.timeIndex).parent;
    dataCell(r);
    r.productIndex = raiseProductLevel(r.productIndex).index;
    r.timeIndex = quarter->index;
}

void makeQuery5(bool empty, WriterRecord& r) {
    if (empty) {
        pickEmptyCell(r.productIndex, r.customerIndex, false, false);
    } else {
        r.channelIndex = randomChannelLeaf();
        dataCell(r);
    }
    const Member* c = &model().customer(r.customerIndex);
    const double u = randomDouble();
    if (u > 0.8 && c->childCount == 0) c = c->parent;
    r.customerIndex = c->index;
}

void makeQuery6(bool empty, WriterRecord& r) {
    if (empty) {
        pickEmptyCell(r.productIndex, r.customerIndex, false, false);
    } else {
        r.channelIndex = randomChannelLeaf();
        dataCell(r);
    }
    const double u = randomDouble();
    const Member& p = u > 0.6 ? raiseProductLevel(r.productIndex) : model().product(r.productIndex);
    r.productIndex = p.index;
}

void makeQuery7(WriterRecord& r) {
    r.channelIndex = randomChannelLeaf();
    dataCell(r);
    r.productIndex = raiseProductLevel(r.productIndex).index;
    r.customerIndex = retailerOf(r.customerIndex).index;
    r.timeIndex = randomBudgetMonth();
    const Member* t = &model().time(r.timeIndex);
    if (randomDouble() >= 0.75) {
        t = t->parent;
        if (randomDouble() >= 0.75) t = t->parent;
    }
    r.timeIndex = t->index;
}

void makeQuery8(WriterRecord& r) { productAndCustomer(r); }

void makeQuery9(WriterRecord& r) { productAndCustomer(r); }

void makeQuery10(const QueryTemplate& tpl, WriterRecord& r) {
    const int32_t s = tpl.scenario, mu = tpl.measure;
    const Member* product = nullptr;
    const Member* customer = nullptr;
    const Member* channel = nullptr;
    const Member* time = nullptr;

    const int32_t ch = randomChannelLeaf();
    int32_t pp = 0, cc = 0;
    pickDataCell(ch, pp, cc, nullptr);

    int32_t month = -1;
    if (s == 0) {
        channel = &model().channel(ch);
        month = randomInRange(0, lastActualMonth);
    } else if (s == 1 || s == 2) {
        month = randomInRange(firstBudgetMonth, lastBudgetMonth);
    } else if (s == 3) {
        month = randomInRange(0, lastActualMonth);
    }
    if (month >= 0) {
        time = &model().time(month);
        const bool fixedMonth = s <= 2 && (mu == 6 || mu == 7 || mu == 8);
        if (!fixedMonth) {
            const double u = randomDouble();
            if (u >= 0.67) {
                time = time->parent;
                if (u >= 0.9) time = time->parent;
            }
        }
    }

    if (mu == 6) {
        product = &model().product(pp);
        channel = nullptr;
    } else if (mu == 7) {
        customer = &model().customer(cc);
        channel = nullptr;
    } else if (mu >= 0 && mu <= 9) {
        const double u = randomDouble();
        product = u > 0.5 ? &raiseProductLevel(pp) : &model().product(pp);
        customer = &model().customer(cc);
        if (customer->childCount == 0) {
            if (randomDouble() > 0.5) customer = customer->parent;
        }
    }

    r.productIndex = product ? product->index : -1;
    r.customerIndex = customer ? customer->index : -1;
    r.channelIndex = channel ? channel->index : -1;
    r.timeIndex = time ? time->index : -1;
    r.scenarioIndex = s;
    r.setMeasureIndex(mu);
}

}  // namespace qem
