#!/usr/bin/python3
"""Builds the constant keyword table of one SCPI command set from its data file.

Usage:
  gen_trees.py SET.tree OUT.cpp     write the C++ source of the set
  gen_trees.py --stats SET.tree     print the table's counts
  gen_trees.py --list SET.tree      print every listed command with its row

The data file format is described at the top of each .tree file.  The table is
laid out so that the parser can walk it without any other index:
  - rows in depth-first order: a row, its whole subtree, then its next brother;
  - a child link always names the next row, a brother link a later row;
  - leaves are numbered 0, 1, 2 ... in row order (the command serial number),
    a keyword row carries the number of the next leaf below it;
  - rows that no link reaches follow the leaf they belong to, with their own
    links among themselves, and are numbered like every other leaf.
Any slip in the data (bad keyword, malformed id, a command listed twice) stops
the build with the file name and line number.
"""

import re
import sys

PTYPES = {
    "PT_NONE": -1, "PT_NR1": 0, "PT_NR1_FL": 1, "PT_NR2": 2, "PT_NR3": 3,
    "PT_BOOL": 4, "PT_STRING": 5, "PT_BIN": 6, "PT_ENUM": 7,
    "PT_ENUM_PT_NR3_EP1": 8, "PT_ENUM_PT_NR1": 9, "PT_NR1_LL": 10,
    "PT_NR3_REAL": 11, "PT_NR3_EN18": 12, "PT_NR3_EN15": 13,
    "PT_NR3_EN12": 14, "PT_NR3_EN9": 15, "PT_NR3_EN6": 16, "PT_NR3_EN3": 17,
    "PT_NR3_EN2": 18, "PT_NR3_EN1": 19, "PT_NR3_E0": 20, "PT_NR3_EP1": 21,
    "PT_NR3_EP2": 22, "PT_NR3_EP3": 23, "PT_NR3_EP6": 24, "PT_NR3_EP9": 25,
    "PT_NR3_EP12": 26, "PT_NR3_EP15": 27, "PT_NR3_EP18": 28,
    "PT_CURSOR": 29, "PT_MATH": 30, "PT_IMAGE": 31, "PT_MEASURE": 32,
    "PT_WFM_DATA": 33, "PT_HEX": 34, "PT_ALL": 35,
}
MAX_PARAMS = 3       # declared parameters per command
PARAM_SLOTS = 5      # slots per row
U16_MAX = 0xFFFF
S16_MAX = 0x7FFF

NAME_RE = re.compile(r"^[A-Z0-9*]+[a-z]*\??$")
ID_RE = r"(?:(?P<sym>[A-Z][A-Z0-9_]*)\s+)?(?P<id>0x[0-9A-Fa-f]+|0)"
REST_RE = re.compile(r"^" + ID_RE + r"\s*(?:\((?P<params>[^)]*)\))?"
                     r"\s*(?:\?\s+(?P<qid>0x[0-9A-Fa-f]+))?\s*$")
ENUM_PAIR_RE = re.compile(r'"([^"]*)"\s*=\s*(-?\d+)')


class DataError(Exception):
    pass


class Node:
    """One keyword row; leaves carry the command."""

    def __init__(self, name, omit):
        self.name = name
        self.omit = omit
        self.leaf = False
        self.func_id = 0
        self.func_sym = None
        self.params = []          # [(id, type name)]
        self.children = []
        self.hidden = []          # rows no link reaches, after this leaf
        self.path = ""            # path text as listed, for comments
        self.reachable = True
        self.row = -1
        self.cmd_sn = 0
        self.child = -1
        self.brother = -1

    @property
    def short(self):
        run = re.match(r"[A-Z0-9*]+", self.name).group(0)
        return run + "?" if self.name.endswith("?") else run


class Command:
    """One listed command: the path as written, and the leaf it made."""

    def __init__(self, path, node, reachable):
        self.path = path
        self.node = node
        self.reachable = reachable


def check_name(name, where):
    if not NAME_RE.match(name):
        raise DataError("%s: bad keyword '%s'" % (where, name))


def split_path(text, where):
    """'[SENSe:]CURRent[:DC]:NPLC?' -> [('SENSe', 1), ('CURRent', 0), ('DC', 1), ('NPLC?', 0)]."""
    keys = []
    i = 0
    while i < len(text):
        if text[i] == "[":
            end = text.find("]", i)
            if end < 0:
                raise DataError("%s: unclosed '[' in '%s'" % (where, text))
            keys.append([text[i + 1:end].strip(":"), 1])
            i = end + 1
        elif text[i] == "?" and keys and keys[-1][1]:
            keys[-1][0] += "?"            # '[:STATe]?' is the query of STATe
            i += 1
        elif text[i] == ":":
            i += 1
        else:
            m = re.match(r"[A-Za-z0-9*]+\??", text[i:])
            if not m:
                raise DataError("%s: bad path '%s'" % (where, text))
            keys.append([m.group(0), 0])
            i += len(m.group(0))
    for name, _ in keys:
        check_name(name, where)
    if join_path(keys) != text:
        raise DataError("%s: path '%s' is not in canonical form (%s)"
                        % (where, text, join_path(keys)))
    return [tuple(k) for k in keys]


def join_path(keys):
    out = ""
    for i, (name, omit) in enumerate(keys):
        if omit:
            q = name.endswith("?")
            base = name[:-1] if q else name
            out += ("[%s:]" % base if i == 0 else "[:%s]" % base) + ("?" if q else "")
        else:
            lead_omit = i == 1 and keys[0][1]
            out += ("" if i == 0 or lead_omit else ":") + name
    return out


def parse_params(text, where):
    params = []
    if text is None:
        return params
    for part in text.split(","):
        bits = part.split()
        if len(bits) != 2 or bits[1] not in PTYPES or not re.match(r"^0x[0-9A-Fa-f]+$", bits[0]):
            raise DataError("%s: bad parameter '%s'" % (where, part.strip()))
        params.append((int(bits[0], 16), bits[1]))
    if len(params) > MAX_PARAMS:
        raise DataError("%s: more than %d parameters" % (where, MAX_PARAMS))
    return params


def parse_command(text, where):
    """Returns (path text, [(func id, symbol, params, query?)])."""
    bits = text.split(None, 1)
    if len(bits) != 2:
        raise DataError("%s: command without an id" % where)
    path, rest = bits
    m = REST_RE.match(rest)
    if not m:
        raise DataError("%s: cannot read '%s'" % (where, rest))
    cmds = [(int(m.group("id"), 16), m.group("sym"), parse_params(m.group("params"), where))]
    if m.group("qid"):
        cmds.append((int(m.group("qid"), 16), None, []))
    return path, cmds


def insert(forest, keys, where):
    """Adds a leaf for 'keys'.  A keyword is shared with the last row of its
    level only when that row carries longer paths (a keyword row) with the
    same name and omit flag; otherwise a new row is opened.  Sharing only the
    last row keeps the rows in the order the commands are listed."""
    level = forest
    for name, omit in keys[:-1]:
        last = level[-1] if level else None
        if last is None or last.leaf or last.name != name or last.omit != omit:
            last = Node(name, omit)
            level.append(last)
        level = last.children
    leaf = Node(*keys[-1])
    leaf.leaf = True
    level.append(leaf)
    return leaf


def keyword_path(prefix, node):
    """Path text of a keyword row, for the comments of the generated table."""
    if not node.omit:
        return prefix + node.name
    if not prefix:
        return "[%s:]" % node.name
    return prefix[:-1] + "[:%s]" % node.name


def child_prefix(path):
    return path if path.endswith(":]") else path + ":"


class CommandSet:
    def __init__(self, source):
        self.source = source
        self.name = None
        self.forest = []
        self.commands = []
        self.enum_lists = []      # [(id, [(keyword, value)], comment)]
        self.rows = []

    def load(self, text):
        last_line_leaves = None
        comment = None
        seen_paths = {}
        for lineno, raw in enumerate(text.splitlines(), 1):
            where = "%s:%d" % (self.source, lineno)
            line = raw.strip()
            if not line:
                continue
            if line.startswith("#"):
                comment = line[1:].strip()
                continue
            note, comment = comment, None     # a comment names the line below it
            if line.startswith("set "):
                self.name = line.split()[1]
                continue
            if line.startswith("enum "):
                self._enum(line, where, note)
                continue
            if line.startswith("~"):
                self._hidden(line[1:].strip(), last_line_leaves, where)
                continue
            path, cmds = parse_command(line, where)
            keys = split_path(path, where)
            last_line_leaves = []
            for index, (func_id, sym, params) in enumerate(cmds):
                query = index == 1      # the '? <id>' part of the line
                k = list(keys)
                text_path = path
                if query:
                    k[-1] = (k[-1][0] + "?", k[-1][1])
                    text_path = path + "?"
                key = tuple(k)
                if key in seen_paths:
                    raise DataError("%s: '%s' already listed at %s" % (where, text_path, seen_paths[key]))
                seen_paths[key] = where
                leaf = insert(self.forest, k, where)
                leaf.func_id, leaf.func_sym, leaf.params = func_id, sym, params
                leaf.path = text_path
                self.commands.append(Command(text_path, leaf, True))
                last_line_leaves.append(leaf)
        if not self.name:
            raise DataError("%s: no 'set' line" % self.source)

    def _enum(self, line, where, comment):
        bits = line.split(None, 2)
        if len(bits) < 3 or not re.match(r"^0x[0-9A-Fa-f]+$", bits[1]):
            raise DataError("%s: bad enum line" % where)
        pairs = [(k, int(v)) for k, v in ENUM_PAIR_RE.findall(bits[2])]
        if not pairs or len(pairs) != bits[2].count("="):
            raise DataError("%s: bad keyword list" % where)
        self.enum_lists.append((int(bits[1], 16), pairs, comment))

    def _hidden(self, text, owners, where):
        if not owners:
            raise DataError("%s: '~' row without a leaf before it" % where)
        if len(owners) != 1:
            raise DataError("%s: '~' row after a line that lists two commands;"
                            " write the query on its own line" % where)
        owner = owners[0]
        path, cmds = parse_command(text, where)
        if len(cmds) != 1:
            raise DataError("%s: '~' rows list one command each" % where)
        keys = split_path(path, where)
        func_id, sym, params = cmds[0]
        leaf = insert(owner.hidden, keys, where)
        leaf.func_id, leaf.func_sym, leaf.params = func_id, sym, params
        leaf.path = owner.path + ":" + path
        self.commands.append(Command(leaf.path, leaf, False))

    # Layout ----------------------------------------------------------------

    def layout(self):
        self._place(self.forest, "", True)
        leaves = 0
        for node in self.rows:
            if node.leaf:
                node.cmd_sn = leaves
                leaves += 1
        next_sn = leaves
        for node in reversed(self.rows):
            if node.leaf:
                next_sn = node.cmd_sn
            else:
                node.cmd_sn = next_sn
        for node in self.rows:
            if not node.leaf and node.cmd_sn >= leaves:
                raise DataError("%s: keyword row '%s' has no leaf below it" % (self.source, node.path))
        self.leaf_count = leaves
        if len(self.rows) > S16_MAX or leaves > U16_MAX:
            raise DataError("%s: table too large" % self.source)

    def _place(self, level, prefix, reachable):
        previous = None
        for node in level:
            node.row = len(self.rows)
            node.reachable = reachable
            if not node.path:
                node.path = keyword_path(prefix, node)
            self.rows.append(node)
            if previous is not None:
                previous.brother = node.row
            previous = node
            if node.children:
                node.child = node.row + 1
                self._place(node.children, child_prefix(node.path), reachable)
            if node.hidden:
                self._place(node.hidden, node.path + ":", False)

    # Reports ---------------------------------------------------------------

    def stats(self):
        reach = [n for n in self.rows if n.reachable]
        depth = {}

        def walk(level, d):
            for n in level:
                depth[n.row] = d
                walk(n.children, d + 1)
        walk(self.forest, 1)
        dups = sum(1 for n in self.rows if n.brother >= 0 and self.rows[n.brother].name == n.name)
        return {
            "rows": len(self.rows),
            "leaves": self.leaf_count,
            "reachable leaves": sum(1 for n in reach if n.leaf),
            "longest path": max(depth[n.row] for n in reach if n.leaf),
            "omit rows": sum(1 for n in self.rows if n.omit),
            "omit leaves": sum(1 for n in self.rows if n.omit and n.leaf),
            "duplicate sibling names": dups,
            "enum lists": len(self.enum_lists),
            "listed commands": len(self.commands),
        }


# C++ output ----------------------------------------------------------------

def c_str(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def row_text(node):
    ids = [p[0] for p in node.params] + [0] * (PARAM_SLOTS - len(node.params))
    types = [p[1] for p in node.params] + ["PT_NR1"] * (PARAM_SLOTS - len(node.params))
    if not node.params:
        types[0] = "PT_NONE"
    direction = "D_OUT" if node.name.endswith("?") else "D_IN"
    return ("{%s, %s, %d, %d, %d, 0x%08Xu, %d, 0, %d, %s, %d, {%s}, {%s}, {%s}}"
            % (c_str(node.name), c_str(node.short), node.child, node.brother,
               node.cmd_sn, node.func_id, node.omit, 1 if node.leaf else 0,
               direction, len(node.params),
               ", ".join("0x%Xu" % i for i in ids), ", ".join(types),
               ", ".join(["nullptr"] * PARAM_SLOTS)))


def listed_text(cmd):
    node = cmd.node
    ids = [p[0] for p in node.params] + [0] * (MAX_PARAMS - len(node.params))
    types = [p[1] for p in node.params] + ["PT_NONE"] * (MAX_PARAMS - len(node.params))
    return ("{%s, %d, 0x%08Xu, %d, {%s}, {%s}, %s}"
            % (c_str(cmd.path), node.row, node.func_id, len(node.params),
               ", ".join("0x%Xu" % i for i in ids), ", ".join(types),
               "true" if cmd.reachable else "false"))


def render(cs, source_name):
    n = cs.name
    out = []
    w = out.append
    w("// Generated by gen_trees.py from %s; edit the data file, not this one." % source_name)
    w('#include "scp_cmdtree.h"')
    w("")
    w("// Keyword table of the command set: %d rows, %d commands." % (len(cs.rows), cs.leaf_count))
    w("const parseKeywordNodeStru astKeywordNode%s[%d] = {" % (n, len(cs.rows)))
    for node in cs.rows:
        note = node.path + ("" if node.reachable else "  (no link reaches this row)")
        if node.func_sym:
            note += "  " + node.func_sym
        w("    /* %3d %s */" % (node.row, note.replace("*/", "* /")))
        w("    %s," % row_text(node))
    w("};")
    w("const uint16_t u16KeywordNum%s = %d;" % (n, len(cs.rows)))
    w("const uint16_t u16CmdNum%s = %d;" % (n, cs.leaf_count))
    w("")
    w("// Every command as the data file lists it, with the row it ends on.")
    w("const ScpiListedCmd astListedCmd%s[%d] = {" % (n, len(cs.commands)))
    for cmd in cs.commands:
        w("    %s," % listed_text(cmd))
    w("};")
    w("const uint16_t u16ListedCmdNum%s = %d;" % (n, len(cs.commands)))
    w("")
    w("namespace {")
    for i, (pid, pairs, comment) in enumerate(cs.enum_lists):
        if comment:
            w("// %s" % comment)
        w("const ScpiEnumKeyword kEnumKeywords%d[] = {%s};"
          % (i, ", ".join("{%s, %d}" % (c_str(k), v) for k, v in pairs)))
    w("const ScpiEnumList kEnumLists[] = {")
    for i, (pid, pairs, _) in enumerate(cs.enum_lists):
        w("    {0x%Xu, kEnumKeywords%d, %d}," % (pid, i, len(pairs)))
    w("};")
    w("}  // namespace")
    w("")
    w("// Filled while static data is initialised, before main runs.")
    w("const ScpiEnumMap scpiEnumMap%s = ScpiEnumMapBuild(kEnumLists, %d);" % (n, len(cs.enum_lists)))
    return "\n".join(out) + "\n"


def load(path):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    cs = CommandSet(path)
    cs.load(text)
    cs.layout()
    return cs


def main(argv):
    try:
        if len(argv) == 3 and argv[1] == "--stats":
            for key, value in load(argv[2]).stats().items():
                print("%-24s %d" % (key, value))
            return 0
        if len(argv) == 3 and argv[1] == "--list":
            for cmd in load(argv[2]).commands:
                print("%4d %-50s 0x%08X%s" % (cmd.node.row, cmd.path, cmd.node.func_id,
                                               "" if cmd.reachable else "  unreachable"))
            return 0
        if len(argv) == 3:
            cs = load(argv[1])
            text = render(cs, argv[1].rsplit("/", 1)[-1])
            with open(argv[2], "w", encoding="utf-8") as f:
                f.write(text)
            return 0
    except (DataError, OSError) as e:
        print("gen_trees.py: %s" % e, file=sys.stderr)
        return 1
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
