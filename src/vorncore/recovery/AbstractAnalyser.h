// Base of every scanner that Recovery::scan feeds block by block.
//
// Contract: created by the scan with its owning Recovery; scanBegin once,
// scanBlock once per allocation block (reading the block and its position
// back from the owner), scanEnd once (also after a cancel); then deleted.
// The owner is not owned.
#pragma once

namespace vorn {

class Recovery;

class AbstractAnalyser {
public:
    explicit AbstractAnalyser(Recovery* owner);
    virtual ~AbstractAnalyser();
    virtual void scanBegin() = 0;
    virtual void scanBlock() = 0;
    virtual void scanEnd() = 0;

protected:
    Recovery* const owner;
};

}  // namespace vorn
