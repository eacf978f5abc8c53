// Base of every scanner that the block scan feeds block by block.
//
// Contract: created by the scan with its context; scanBegin once, scanBlock
// once per allocation block (reading the block and its position back from
// the context), scanEnd once (also after a cancel); then deleted. The
// context is not owned and outlives the analyser.
#pragma once

namespace vorn {

class ScanContext;

class AbstractAnalyser {
public:
    explicit AbstractAnalyser(ScanContext* owner);
    virtual ~AbstractAnalyser();
    virtual void scanBegin() = 0;
    virtual void scanBlock() = 0;
    virtual void scanEnd() = 0;

protected:
    ScanContext* const owner;
};

}  // namespace vorn
