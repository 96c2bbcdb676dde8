#include "u8.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <map>

#include "bytes.h"

namespace sheaf {

namespace {

constexpr uint32_t kHeaderSize = 0x10;
constexpr uint32_t kNodeSize = 12;
constexpr uint32_t kMaxTables = 16 << 20;
constexpr uint64_t kAlign = 32;

int Rank(unsigned char c) {
  if (c == '/') return 0;
  if (c == '.') return 1;
  if (c >= 'A' && c <= 'Z') return 0x200 + (c - 'A' + 'a');
  if (c >= 'a' && c <= 'z') return 0x200 + c;
  if (c < 0x80) return 2 + c;
  return 0x300 + c;
}

}  // namespace

bool U8NameLess(const std::string& a, const std::string& b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const int x = Rank(static_cast<unsigned char>(a[i]));
    const int y = Rank(static_cast<unsigned char>(b[i]));
    if (x != y) return x < y;
  }
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

bool ReadU8(Input& input, Messages& messages, U8Model* m, Tree* tree) {
  uint8_t h[kHeaderSize];
  m->size = input.size();
  if (input.size() < kHeaderSize + kNodeSize) {
    messages.Problem("truncated: " + std::to_string(input.size()) +
                     " bytes, too short for a U8's header and root");
    return false;
  }
  if (!input.Read(0, h, sizeof h)) return false;
  m->node_table = kBig.U32(h + 4);
  m->tables_size = kBig.U32(h + 8);
  m->data_offset = kBig.U32(h + 12);
  if (m->node_table < kHeaderSize || uint64_t{m->node_table} + kNodeSize > m->size) {
    messages.Problem("damaged U8 header: the node table at " + Hex(m->node_table) +
                     (m->node_table < kHeaderSize ? " overlaps the header"
                                                  : " lies past the end of the archive"));
    return false;
  }
  uint8_t root[kNodeSize];
  if (!input.Read(m->node_table, root, sizeof root)) return false;
  const uint32_t count = kBig.U32(root + 8);
  if (root[0] != 1) {
    messages.Problem("damaged U8: the root node is not a folder");
    return false;
  }
  if (count == 0 || uint64_t{count} * kNodeSize > m->tables_size) {
    messages.Problem("damaged U8: the root gives " + std::to_string(count) +
                     " nodes, but the node and string tables take " +
                     std::to_string(m->tables_size) + " bytes");
    return false;
  }
  if (uint64_t{m->node_table} + m->tables_size > m->size) {
    messages.Problem("damaged U8: the node and string tables (" + std::to_string(m->tables_size) +
                     " bytes at " + Hex(m->node_table) + ") run past the end of the " +
                     std::to_string(m->size) + "-byte archive");
    return false;
  }
  if (m->tables_size > kMaxTables) {
    messages.Problem("the tables take " + std::to_string(m->tables_size) +
                     " bytes, more than the 16 MiB that sheaf reads");
    return false;
  }
  std::vector<uint8_t> nodes(uint64_t{count} * kNodeSize);
  m->strings.resize(m->tables_size - nodes.size());
  if (!input.Read(m->node_table, nodes.data(), nodes.size()) ||
      !input.Read(m->node_table + nodes.size(), m->strings.data(), m->strings.size())) {
    return false;
  }
  m->nodes.resize(count);
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* p = nodes.data() + kNodeSize * i;
    U8Node& n = m->nodes[i];
    n.type = p[0];
    n.name_offset = kBig.U24(p + 1);
    n.a = kBig.U32(p + 4);
    n.b = kBig.U32(p + 8);
    if (n.name_offset < m->strings.size()) {
      const size_t end = m->strings.find('\0', n.name_offset);
      if (end != std::string::npos) n.name = m->strings.substr(n.name_offset, end - n.name_offset);
    }
  }
  m->nodes[0].reached = true;

  // Pre-order: a stack of the open folders, each closed at its end.
  struct Open {
    uint32_t index;
    uint32_t end;
    uint32_t node;  // in the tree
    bool usable;
  };
  std::vector<Open> stack{{0, count, 0, true}};
  for (uint32_t i = 1; i < count; ++i) {
    while (stack.size() > 1 && stack.back().end <= i) stack.pop_back();
    const Open parent = stack.back();
    U8Node& n = m->nodes[i];
    n.folder = parent.index;
    const bool folder = n.type == 1;
    const std::string where = parent.index == 0 || m->nodes[parent.index].path.empty()
                                  ? ""
                                  : m->nodes[parent.index].path + "/";
    std::string why;
    bool usable = parent.usable;
    uint32_t end = i + 1;
    if (folder) {
      end = n.b;
      if (n.b <= i || n.b > parent.end) {
        const std::string label =
            n.name.empty() ? "node " + std::to_string(i) : Quote(where + n.name);
        if (usable) {
          messages.Problem("skipping the folder " + label + ": its nodes (" + std::to_string(i) +
                           " up to " + std::to_string(n.b) + ") " +
                           (n.b <= i ? "end before they begin" : "do not nest in its parent's"));
        }
        usable = false;
        end = std::min(std::max(n.b, i + 1), parent.end);
      }
    }
    if (usable && n.type > 1) {
      why = "its type is " + std::to_string(n.type) + ", neither file (0) nor folder (1)";
    } else if (usable && n.name_offset >= m->strings.size()) {
      why = "its name offset " + Hex(n.name_offset) + " lies outside the " +
            std::to_string(m->strings.size()) + "-byte string table";
    } else if (usable && m->strings.find('\0', n.name_offset) == std::string::npos) {
      why = "its name runs past the end of the string table";
    }
    if (!why.empty()) {
      messages.Problem("skipping node " + std::to_string(i) + ": " + why);
      usable = false;
    }
    // Mario Kart Wii's archives hold everything in a "." folder.
    if (usable && i == 1 && folder && n.name == "." && end == count) {
      m->has_dot = true;
      n.reached = true;
      stack.push_back({i, end, 0, true});
      continue;
    }
    const std::string label = Quote(where + n.name);
    if (usable) {
      why = Tree::CheckName(n.name);
      if (!why.empty()) {
        messages.Problem("skipping " + label + ": " + why);
        usable = false;
      }
    }
    if (usable && folder && n.a != parent.index) {
      messages.Problem("damaged U8: the folder " + label + " names node " + std::to_string(n.a) +
                       " as its parent, not " + std::to_string(parent.index));
    }
    if (usable && !folder && uint64_t{n.a} + n.b > m->size) {
      messages.Problem("skipping " + label + ": its data (" + std::to_string(n.b) + " bytes at " +
                       Hex(n.a) + ") runs past the end of the " + std::to_string(m->size) +
                       "-byte archive");
      usable = false;
    }
    uint32_t node = 0;
    if (usable) {
      switch (tree->AddChild(parent.node, n.name, folder, &node)) {
        case Tree::Added::kNew:
          break;
        case Tree::Added::kFolderExists:
        case Tree::Added::kTaken:
          messages.Problem("skipping " + label + ": another entry has that path");
          usable = false;
          break;
        case Tree::Added::kTooDeep:
          messages.Problem("skipping " + label + ": deeper than " +
                           std::to_string(Tree::kMaxDepth) + " folders");
          usable = false;
          break;
        case Tree::Added::kFull:
          messages.Problem("skipping " + label + ": more than " + std::to_string(Tree::kMaxNodes) +
                           " files and folders");
          usable = false;
          break;
      }
    }
    if (usable) {
      n.reached = true;
      n.path = where + n.name;
      tree->node(node).entry = i;
      if (!folder) {
        tree->node(node).offset = n.a;
        tree->node(node).size = n.b;
      }
    }
    if (folder) stack.push_back({i, end, node, usable});
  }
  return true;
}

// ---- writing ----

namespace {

struct OutNode {
  int64_t original = -1;
  uint32_t host = 0;
  bool folder = false;
  uint32_t parent = 0;  // out node
  uint32_t end = 0;     // folders
  uint32_t name_offset = 0;
  std::string name;
  uint64_t start = 0;  // files
};

}  // namespace

bool PlanU8(const U8Model& model, bool has_original, const PackJob& job, Plan* plan) {
  HostTree& host = job.host;
  Messages& messages = job.messages;
  Input* original = has_original ? job.original : nullptr;
  const Fill zero;

  // The original's children of each folder, in order.
  std::vector<std::vector<uint32_t>> original_children(model.nodes.size());
  for (uint32_t i = 1; i < model.nodes.size(); ++i) {
    if (model.nodes[i].reached) original_children[model.nodes[i].folder].push_back(i);
  }
  std::vector<uint8_t> matched(host.entries.size(), 0);
  std::vector<OutNode> nodes;
  // Pre-order: a folder, then its contents; kept entries in the original's
  // order, new files after its last file, new folders after its last
  // folder, and new folders' contents in the games' order.
  struct Frame {
    uint32_t out;                  // the folder's out node
    std::vector<OutNode> pending;  // its children, in order
    size_t next;
  };
  auto children_of = [&](uint32_t host_folder, int64_t original_folder) {
    std::vector<OutNode> list;
    if (original_folder >= 0) {
      for (const uint32_t c : original_children[static_cast<size_t>(original_folder)]) {
        const U8Node& n = model.nodes[c];
        const uint32_t at = host.Find(n.path);
        if (at == HostTree::kNone || host.entries[at].folder != (n.type == 1)) continue;
        matched[at] = 1;
        OutNode out;
        out.original = c;
        out.host = at;
        out.folder = n.type == 1;
        out.name = n.name;
        list.push_back(out);
      }
    }
    std::vector<OutNode> files, folders;
    for (const uint32_t c : host.entries[host_folder].children) {
      if (matched[c]) continue;
      OutNode out;
      out.host = c;
      out.folder = host.entries[c].folder;
      out.name = host.entries[c].name;
      (out.folder ? folders : files).push_back(out);
    }
    auto less = [](const OutNode& a, const OutNode& b) { return U8NameLess(a.name, b.name); };
    std::stable_sort(files.begin(), files.end(), less);
    std::stable_sort(folders.begin(), folders.end(), less);
    size_t file_at = 0, folder_at = list.size();
    for (size_t i = 0; i < list.size(); ++i) {
      if (!list[i].folder) file_at = i + 1;
    }
    list.insert(list.begin() + static_cast<ptrdiff_t>(file_at), files.begin(), files.end());
    list.insert(list.begin() + static_cast<ptrdiff_t>(folder_at + files.size()), folders.begin(),
                folders.end());
    return list;
  };
  OutNode root;
  root.folder = true;
  root.original = has_original ? 0 : -1;
  nodes.push_back(root);
  std::vector<Frame> stack;
  if (model.has_dot && has_original) {
    OutNode dot;
    dot.original = 1;
    dot.folder = true;
    dot.name = ".";
    nodes.push_back(dot);
    nodes[0].end = 0;
    stack.push_back({0, {}, 0});
    stack.push_back({1, children_of(0, 1), 0});
  } else {
    stack.push_back({0, children_of(0, has_original ? 0 : -1), 0});
  }
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next == top.pending.size()) {
      nodes[top.out].end = static_cast<uint32_t>(nodes.size());
      stack.pop_back();
      continue;
    }
    OutNode child = top.pending[top.next++];
    child.parent = top.out;
    nodes.push_back(child);
    if (child.folder) {
      const auto out = static_cast<uint32_t>(nodes.size() - 1);
      std::vector<OutNode> pending = children_of(child.host, child.original);
      stack.push_back({out, std::move(pending), 0});
    }
  }

  // Names: each node's own, unless the original shares equal ones.
  std::map<uint32_t, std::string> all_strings, kept_strings;
  for (const U8Node& n : model.nodes) {
    if (n.reached) all_strings[n.name_offset] = n.name;
  }
  for (const OutNode& n : nodes) {
    if (n.original >= 0) {
      const U8Node& o = model.nodes[static_cast<size_t>(n.original)];
      kept_strings[o.name_offset] = o.name;
    }
  }
  const bool sharing = StringPool::Shares(all_strings, false);
  StringPool pool;
  if (has_original) pool.Keep(model.strings, all_strings, kept_strings);
  for (OutNode& n : nodes) {
    n.name_offset = n.original >= 0
                        ? pool.Moved(model.nodes[static_cast<size_t>(n.original)].name_offset)
                        : pool.Add(n.name, sharing);
  }
  if (pool.bytes().size() > 0xFFFFFF) {
    messages.Problem("cannot pack the tree: the names of a U8 take less than 16 MiB");
    return false;
  }

  // The head: header, the reserved bytes, nodes, strings, then the data
  // start.
  std::vector<uint8_t>& head = plan->head;
  head.assign(kHeaderSize, 0);
  const Origin table_origin{has_original, kHeaderSize, model.node_table};
  const uint64_t node_table = Place(kHeaderSize, kAlign, table_origin);
  if (!HeadGap(head, node_table, SameGap(kHeaderSize, table_origin), kHeaderSize,
               OriginalFill(original, kHeaderSize, model.node_table, zero), original)) {
    return false;
  }
  head.resize(head.size() + kNodeSize * nodes.size());
  head.insert(head.end(), pool.bytes().begin(), pool.bytes().end());
  const uint64_t strings_end = head.size();
  const uint64_t original_strings_end =
      uint64_t{model.node_table} + kNodeSize * model.nodes.size() + StringPool::End(all_strings);

  // Alignment: the one all the original's files share (32 in games), a
  // kept file at most what its own offset gives.
  uint64_t align = kAlign;
  if (has_original) {
    uint64_t common = 0x10000;
    bool any = false;
    for (const U8Node& n : model.nodes) {
      if (n.reached && n.type == 0) {
        common = std::min(common, LowBit(n.a, 0x10000));
        any = true;
      }
    }
    if (any) align = std::max<uint64_t>(common, 4);
  }
  const Origin data_origin{has_original, original_strings_end, model.data_offset};
  const uint64_t data_start = Place(strings_end, align, data_origin);
  if (!HeadGap(head, data_start, SameGap(strings_end, data_origin), original_strings_end,
               OriginalFill(original, original_strings_end, model.data_offset, zero), original)) {
    return false;
  }
  plan->size = data_start;

  // The data, in the original's order, then the new files in node order.
  std::vector<uint32_t> order;
  for (uint32_t i = 0; i < nodes.size(); ++i) {
    if (!nodes[i].folder) order.push_back(i);
  }
  OriginalsFirst(order, nodes, [&](const OutNode& x, const OutNode& y) {
    const uint32_t p = model.nodes[static_cast<size_t>(x.original)].a;
    const uint32_t q = model.nodes[static_cast<size_t>(y.original)].a;
    return p != q ? p < q : x.original < y.original;
  });
  std::map<uint32_t, uint64_t> gap_start;  // original node -> end of the data before it
  uint64_t original_last_end = data_origin.start;
  {
    std::vector<uint32_t> all;
    for (uint32_t i = 0; i < model.nodes.size(); ++i) {
      if (model.nodes[i].reached && model.nodes[i].type == 0) all.push_back(i);
    }
    std::stable_sort(all.begin(), all.end(),
                     [&](uint32_t a, uint32_t b) { return model.nodes[a].a < model.nodes[b].a; });
    // Nodes sharing a block share its gap.
    for (size_t k = 0; k < all.size(); ++k) {
      const U8Node& n = model.nodes[all[k]];
      const U8Node* before = k > 0 ? &model.nodes[all[k - 1]] : nullptr;
      const bool same_block = before != nullptr && before->a == n.a && before->b == n.b;
      gap_start[all[k]] = same_block ? gap_start[all[k - 1]] : original_last_end;
      original_last_end = std::max<uint64_t>(original_last_end, uint64_t{n.a} + n.b);
    }
  }
  Fill data_fill = zero;
  if (has_original) {
    for (const uint32_t k : order) {
      if (nodes[k].original < 0) break;
      const U8Node& n = model.nodes[static_cast<size_t>(nodes[k].original)];
      if (n.a > gap_start[static_cast<uint32_t>(nodes[k].original)]) {
        data_fill =
            OriginalFill(original, gap_start[static_cast<uint32_t>(nodes[k].original)], n.a, zero);
        break;
      }
    }
  }
  SharedBlocks shared(host, messages, original);
  auto describe = [&](uint32_t k) {
    const OutNode& n = nodes[k];
    if (n.original < 0) return KeptFile{};
    const U8Node& o = model.nodes[static_cast<size_t>(n.original)];
    return KeptFile{true, o.a, o.b, n.host};
  };
  if (!shared.KeepersFirst(order, describe)) return false;
  uint64_t pos = data_start;
  for (const uint32_t k : order) {
    OutNode& n = nodes[k];
    const HostEntry& f = host.entries[n.host];
    const U8Node* o = n.original >= 0 ? &model.nodes[static_cast<size_t>(n.original)] : nullptr;
    const KeptFile kept = describe(k);
    if (!shared.Find(kept, &n.start)) return false;
    if (n.start != SharedBlocks::kNone) {
      plan->Shared(n.host);
      continue;
    }
    Origin origin;
    uint64_t file_align = align;
    if (o != nullptr) {
      file_align = LowBit(o->a, align);
      origin = {true, gap_start[static_cast<uint32_t>(n.original)], o->a};
    }
    n.start = Place(pos, file_align, origin);
    if (n.start + f.size > 0xFFFFFFFFull) {
      messages.Problem(CannotPack(f.path, "a U8 ends before 4 GiB (its offsets are 32-bit)"));
      return false;
    }
    plan->Gap(n.start, SameGap(pos, origin), pos, data_fill);
    plan->File(n.host, f.size);
    shared.Placed(kept, n.start);
    pos = n.start + f.size;
  }
  uint64_t end;
  if (has_original && pos == original_last_end) {
    end = model.size;
    plan->Gap(end, true, pos, data_fill);
  } else {
    const Trail trail =
        has_original ? DetectTrail(original_last_end, model.size) : Trail{kAlign, 0};
    end = ApplyTrail(trail, pos);
    plan->Gap(end, false, 0, data_fill);
  }
  if (end > 0xFFFFFFFFull) {
    messages.Problem("cannot pack the tree: a U8 ends before 4 GiB");
    return false;
  }

  // The header and the nodes.
  uint8_t* h = head.data();
  memcpy(h, "\x55\xAA\x38\x2D", 4);
  kBig.Put32(h + 4, static_cast<uint32_t>(node_table));
  const uint64_t exact = kNodeSize * nodes.size() + pool.bytes().size();
  kBig.Put32(h + 8,
             static_cast<uint32_t>(Derive(
                 has_original, model.tables_size,
                 {{kNodeSize * model.nodes.size() + StringPool::End(all_strings), exact},
                  {uint64_t{model.data_offset} - model.node_table, data_start - node_table}})));
  kBig.Put32(h + 12, static_cast<uint32_t>(data_start));
  for (size_t i = 0; i < nodes.size(); ++i) {
    const OutNode& n = nodes[i];
    uint8_t* p = h + node_table + kNodeSize * i;
    p[0] = n.folder ? 1 : 0;
    kBig.Put24(p + 1, n.name_offset);
    if (n.folder) {
      kBig.Put32(p + 4, n.parent);
      kBig.Put32(p + 8, n.end);
    } else {
      kBig.Put32(p + 4, static_cast<uint32_t>(n.start));
      kBig.Put32(p + 8, static_cast<uint32_t>(host.entries[n.host].size));
    }
  }
  return true;
}

}  // namespace sheaf
