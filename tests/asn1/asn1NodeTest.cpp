// Node tree: handles, children, typed handles and casts, parent links, the writer's rules.
#include "asn1Impl.h"
#include "asn1TestUtil.h"

#include <gtest/gtest.h>

#include <typeinfo>

using namespace Vsk::ASN1;
using namespace asn1test;

namespace {

TEST(Asn1Node, ChildrenGetTheirTypedHandles) {
    CSequence top;
    top.decode(
        hex("30 2B 01 01 FF 02 01 05 03 01 00 04 00 05 00 06 01 2A 0C 00 13 00 16 00 17 00 18 00 1E 00 "
            "30 00 31 00 A0 00 80 00 23 03 03 01 00 24 00"));
    auto* seq = castToSequence(&top);
    ASSERT_NE(seq, nullptr);
    const std::type_info* expected[] = {
        &typeid(CBoolean),   &typeid(CInteger),    &typeid(CBitString),       &typeid(COctetString),
        &typeid(CNode),      &typeid(CObjectId),   &typeid(CUTF8String),      &typeid(CNode),
        &typeid(CIA5String), &typeid(CUTCTime),    &typeid(CGeneralizedTime), &typeid(CBMPString),
        &typeid(CSequence),  &typeid(CSet),        &typeid(CConstructed),     &typeid(CNode),
        &typeid(CBitString), &typeid(CConstructed)};
    ASSERT_EQ(seq->getCount(), std::size(expected));
    for (size_t i = 0; i < seq->getCount(); ++i) {
        SCOPED_TRACE(i);
        CNode* child = seq->getItem(i);
        EXPECT_EQ(typeid(*child), *expected[i]);
        EXPECT_EQ(seq->getItem(i), child);
    }
    // The casts look at the tag and at the handle's class.
    EXPECT_EQ(castToInteger(seq->getItem(1)), seq->getItem(1));
    EXPECT_EQ(castToInteger(seq->getItem(4)), nullptr);
    EXPECT_EQ(castToSequence(seq->getItem(4)), nullptr);
    EXPECT_EQ(castToBitString(seq->getItem(16)), seq->getItem(16));
    EXPECT_EQ(castToOctetString(seq->getItem(17)), nullptr);
    EXPECT_NE(castToConstructed(seq->getItem(17)), nullptr);
    EXPECT_EQ(castToSet(seq->getItem(13)), seq->getItem(13));
    EXPECT_EQ(castToObjectId(seq->getItem(5)), seq->getItem(5));
    EXPECT_EQ(castToOctetString(seq->getItem(3)), seq->getItem(3));
    EXPECT_EQ(castToSequence(nullptr), nullptr);
    CConstructed plain(16, 0);
    EXPECT_EQ(castToSequence(&plain), nullptr);
}

TEST(Asn1Node, IterationRewindsAfterTheLastChild) {
    CSequence seq;
    seq.addItem(CInteger(1));
    seq.addItem(CInteger(2));
    CNode* first = seq.getNext();
    EXPECT_EQ(first, seq.getItem(0));
    EXPECT_EQ(seq.getNext(), seq.getItem(1));
    EXPECT_EQ(seq.getNext(), nullptr);
    EXPECT_EQ(seq.getNext(), first);
    seq.resetIteration();
    EXPECT_EQ(seq.getNext(), first);
}

TEST(Asn1Node, HandleErrors) {
    CNode empty;
    EXPECT_FALSE(empty.isModified());
    EXPECT_EQ(Utf8(errorOf([&] { empty.getTag(); })), Utf8(u"Внутренняя ошибка: m_pImpl == NULL."));
    EXPECT_EQ(Utf8(errorOf([&] { empty.encode(); })), Utf8(u"Внутренняя ошибка: m_pImpl == NULL."));
    EXPECT_NE(errorOf([&] { empty.isIndefinite(); }).find(u"не был создан!"), std::u16string::npos);

    CSequence seq;
    EXPECT_EQ(Utf8(errorOf([&] { seq.getItem(0); })), "Index is out of range.");
    EXPECT_EQ(Utf8(errorOf([&] { seq.setItem(0, CNull()); })), "Index is out of range.");
    CInteger five(5);
    CConstructed wrong(five.getImpl());
    EXPECT_EQ(Utf8(errorOf([&] { wrong.getCount(); })), "Casting failure from type Integer");
    EXPECT_EQ(Utf8(errorOf([&] { five.setStringType(22); })),
              Utf8(u"Не реализовано, не было необходимости. asn1:713."));
    EXPECT_EQ(Utf8(errorOf([&] { seq.addItem(seq); })), Utf8(u"Узел ASN.1 нельзя вложить в самого себя."));
    // The handle that getItem made keeps naming its node.
    seq.addItem(CNull());
    EXPECT_EQ(Utf8(errorOf([&] { *seq.getItem(0) = CInteger(1); })),
              Utf8(u"Узел, полученный из getItem, нельзя переназначить."));
}

TEST(Asn1Node, ChangesMarkTheParentChain) {
    CSequence top;
    top.decode(hex("30 08 30 03 13 01 41 02 01 05"));
    auto* outer = castToSequence(&top);
    auto* inner = castToSequence(outer->getItem(0));
    EXPECT_FALSE(top.isModified());
    inner->getItem(0)->setStringType(22);
    EXPECT_TRUE(inner->getItem(0)->isModified());
    EXPECT_TRUE(top.isModified());
    EXPECT_EQ(hexOf(top.encode()), "30 08 30 03 16 01 41 02 01 05");

    // A child held by two parents marks only the one that took it last.
    CSequence shared;
    CSequence freshA, freshB;
    freshA.addItem(shared);
    freshB.addItem(shared);
    CNode* held = freshA.getItem(0);
    EXPECT_EQ(held->getImpl()->m_parent, freshB.getImpl().get());
}

// A child taken out of its parent no longer names it: changing it after the parent is gone is safe.
TEST(Asn1Node, RemovedChildrenForgetTheirParent) {
    CSequence child;
    {
        CSequence parent;
        parent.addItem(child);
        parent.clear();
        EXPECT_EQ(child.getImpl()->m_parent, nullptr);
        parent.addItem(child);
        parent.setItem(0, CNull());
        EXPECT_EQ(child.getImpl()->m_parent, nullptr);
        parent.addItem(child);
    }
    EXPECT_EQ(child.getImpl()->m_parent, nullptr);
    child.addItem(CNull());
    EXPECT_TRUE(child.isModified());
}

// Nodes read from one input lean on their ancestors' reference to it: a node that outlives its tree
// (held by a handle, moved into another tree, or nested) must still reach its octets, also through
// ancestors that die with the tree and constructed nodes that are parsed only afterwards.
TEST(Asn1Node, NodesThatOutliveTheirTreeKeepTheirOctets) {
    // SEQUENCE { SEQUENCE { SEQUENCE { SEQUENCE { INTEGER 7 } } }, OCTET STRING { SEQUENCE { NULL } } }
    const char* const input = "30 11 30 09 30 07 30 05 30 03 02 01 07 04 04 30 02 05 00";
    CSequence grandchild{CRefPtr<CNode::CImpl>()}, nested{CRefPtr<CNode::CImpl>()};
    CSequence otherTree;
    {
        CSequence top;
        top.decode(hex(input), false, true);
        auto* child = castToConstructed(top.getItem(0));
        grandchild = CSequence(child->getItem(0)->getImpl());
        otherTree.addItem(*grandchild.getItem(0));
        nested = CSequence(castToOctetString(top.getItem(1))->getNested().getImpl());
    }
    EXPECT_EQ(hexOf(grandchild.getRawEncoding()), "30 07 30 05 30 03 02 01 07");
    EXPECT_EQ(hexOf(nested.encode()), "30 02 05 00");
    EXPECT_EQ(hexOf(otherTree.encode()), "30 07 30 05 30 03 02 01 07");
    // Parsed only now, from the octets the surviving node kept.
    auto* innermost = castToConstructed(castToConstructed(grandchild.getItem(0))->getItem(0));
    EXPECT_EQ(hexOf(innermost->getItem(0)->getContents()), "07");
    EXPECT_EQ(hexOf(nested.getItem(0)->encode()), "05 00");
}

TEST(Asn1Node, SetItemGivesTheNewChildsHandle) {
    CSequence top;
    top.decode(hex("30 06 02 01 01 02 01 02"));
    auto* seq = castToSequence(&top);
    CNode* before = seq->getItem(0);
    seq->setItem(0, *seq->getItem(0));
    EXPECT_EQ(seq->getItem(0), before);
    seq->setItem(0, CBoolean(true));
    EXPECT_EQ(typeid(*seq->getItem(0)), typeid(CBoolean));
    EXPECT_EQ(hexOf(top.encode()), "30 06 01 01 FF 02 01 02");
}

struct EncodeRow {
    const char* name;
    CNode node;
    const char* expected;
};

CNode sequenceOf(std::initializer_list<CNode> children, int tag = 16, int cls = 0) {
    CConstructed node(tag, cls);
    for (const auto& c : children) node.addItem(c);
    return node;
}

TEST(Asn1Writer, BuiltTreesEncode) {
    std::string zeros200(200, '\0'), zeros300(300, '\0'), zeros127(127, '\0'), zeros128(128, '\0');
    auto octets = [](const std::string& s) { return COctetString(CDataBlob(s.data(), s.size(), true)); };
    auto head = [](const CNode& n, size_t bytes) { return hexOf(n.encode().getBlock(0, bytes)); };
    const EncodeRow rows[] = {
        {"int 5 in sequence", sequenceOf({CInteger(5)}), "30 03 02 01 05"},
        {"empty sequence", CSequence(), "30 00"},
        {"set keeps order", sequenceOf({CInteger(2), CInteger(1)}, 17), "31 06 02 01 02 02 01 01"},
        {"context [1]", sequenceOf({CNull()}, 1, 0x80), "A1 02 05 00"},
        {"unknown [0]", CUnknown(0, 0x80, hex("01")), "80 01 01"},
        {"boolean true", CBoolean(true), "01 01 FF"},
        {"boolean false", CBoolean(false), "01 01 00"},
        {"null", CNull(), "05 00"},
    };
    for (const auto& row : rows) EXPECT_EQ(hexOf(row.node.encode()), row.expected) << row.name;
    EXPECT_EQ(head(octets(zeros127), 2), "04 7F");
    EXPECT_EQ(head(octets(zeros128), 3), "04 81 80");
    EXPECT_EQ(head(octets(zeros200), 3), "04 81 C8");
    EXPECT_EQ(head(octets(zeros300), 4), "04 82 01 2C");
    std::string big(65536, 'x');
    EXPECT_EQ(head(octets(big), 5), "04 83 01 00 00");
}

TEST(Asn1Writer, UnchangedNodesAreCopiedAndChangedOnesReencoded) {
    struct Row {
        const char* input;
        const char* afterAdd;  // after adding NULL to the top node
    };
    const Row rows[] = {
        {"30 80 02 01 05 00 00", "30 80 02 01 05 05 00 00 00"},
        {"30 81 03 02 01 05", "30 05 02 01 05 05 00"},
        {"31 06 02 01 02 02 01 01", "31 08 02 01 02 02 01 01 05 00"},
        // BOOLEAN TRUE read as 01 is written FF once its parent is rebuilt.
        {"30 03 01 01 01", "30 05 01 01 FF 05 00"},
        // The nested value of an unchanged OCTET STRING keeps its octets.
        {"30 05 04 03 01 01 01", "30 07 04 03 01 01 01 05 00"},
        {"30 06 03 04 00 01 01 01", "30 08 03 04 00 01 01 01 05 00"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.input);
        CNode node;
        node.decode(hex(row.input), false, true);
        EXPECT_EQ(hexOf(node.encode()), hexOf(hex(row.input)));
        CConstructed(node.getImpl()).addItem(CNull());
        EXPECT_EQ(hexOf(node.encode()), row.afterAdd);
    }
}

TEST(Asn1Writer, ChangedNestedValueIsWrittenFromTheNestedNode) {
    CNode node;
    node.decode(hex("04 05 30 03 02 01 05"), false, true);
    CNode nested = COctetString(node.getImpl()).getNested();
    ASSERT_FALSE(nested.isEmpty());
    CSequence nestedSeq(nested.getImpl());
    nestedSeq.addItem(CNull());
    EXPECT_TRUE(node.isModified());
    EXPECT_EQ(hexOf(node.encode()), "04 07 30 05 02 01 05 05 00");
}

TEST(Asn1Writer, StreamingLevelsAreOpenAndClosedByEndOfContents) {
    CSequence outer;
    CSequence inner;
    inner.addItem(CInteger(5));
    outer.addItem(inner);
    inner.setStreaming();
    EXPECT_TRUE(outer.isIndefinite());
    EXPECT_EQ(hexOf(outer.encode()), "30 80 30 80 02 01 05");
    EXPECT_EQ(hexOf(outer.getEndOfContents()), "00 00 00 00");
    EXPECT_EQ(hexOf(CInteger(1).getEndOfContents()), "");

    CNode leaf = CInteger(7);
    CSequence holder;
    holder.addItem(leaf);
    leaf.setStreaming();
    EXPECT_TRUE(holder.isIndefinite());
}

TEST(Asn1Writer, ContentsOctets) {
    CNode read;
    read.decode(hex("30 06 02 01 05 05 00"));
    EXPECT_EQ(hexOf(read.getContents()), "02 01 05 05 00");
    EXPECT_EQ(hexOf(CInteger(128).getContents()), "00 80");
    EXPECT_EQ(hexOf(CBitString(hex("A5 F0"), 12).getContents()), "04 A5 F0");
    EXPECT_EQ(hexOf(sequenceOf({CNull()}).getContents()), "05 00");
    CNode bits;
    bits.decode(hex("03 03 04 A5 F0"));
    EXPECT_EQ(hexOf(bits.getContents()), "04 A5 F0");
}

}  // namespace
