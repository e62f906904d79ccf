// The syntax graph that drives both the scanner's number and date/time
// literals and the parser: a fixed array of nodes, each a terminal that
// expects one token or a call of the rule that starts at another node.
#pragma once

#include <cstdint>

namespace kdm::sql {

inline constexpr int32_t kNoNode = -1; // next: return to the caller; alt: the rule fails

struct CSQLNode {
    int32_t index;
    int32_t next;
    int32_t alt;
    int32_t sub; // first node of the called rule (nonterminals)
    bool terminal;
    uint8_t token;  // terminals: the expected token
    uint8_t action; // 0: none
};

class CSQLSyntax {
public:
    static constexpr int32_t kNodeCount = 287;
    static constexpr int32_t kStatementRule = 0;
    static constexpr int32_t kConditionRule = 89;
    static constexpr int32_t kNumberRule = 240;
    static constexpr int32_t kDateTimeRule = 258;

    CSQLSyntax();
    const CSQLNode& Node(int32_t index) const { return m_nodes[index]; }

private:
    CSQLNode m_nodes[kNodeCount];
};

} // namespace kdm::sql
