"""The dry-run's text summary and its self-contained HTML report (inline CSS and SVG, no assets)."""

import html

BAR_COLOUR = "#2b6cb0"


def text_table(headers, rows):
    widths = [max(len(str(cell)) for cell in column) for column in zip(headers, *rows)]
    lines = ["   " + "  ".join(str(cell).ljust(width) for cell, width in zip(row, widths)).rstrip()
             for row in [headers] + rows]
    return "\n".join(lines) + "\n"


class DryRun:
    """One replay: the simulator's report and, with the stand-in, the backend's ledger."""

    def __init__(self, label, sim_report, ledger, code):
        self.label = label
        self.report = sim_report
        self.ledger = ledger
        self.code = code

    def players(self):
        """Per player: earned and spent from the ledger when there is one, else as the plugin posted them."""
        plugin = {p["steamId"]: p for p in self.report["players"]}
        balances = {b["steamId"]: b for b in (self.ledger or {}).get("balances", [])}
        rows = []
        for steam_id in sorted(set(plugin) | set(balances)):
            ours = plugin.get(steam_id, {})
            theirs = balances.get(steam_id)
            earned = int(theirs["earnedZolt"] if theirs else ours.get("earned", "0"))
            spent = int(theirs["spentZolt"] if theirs else ours.get("spent", "0"))
            rows.append({"steamId": steam_id, "name": ours.get("name", ""), "earned": earned, "spent": spent,
                         "net": earned - spent, "kills": ours.get("kills", 0),
                         "loggedKills": ours.get("loggedKills", 0), "damage": ours.get("damage", 0)})
        rows.sort(key=lambda row: (-row["earned"], row["name"], row["steamId"]))
        return rows

    def rounds(self):
        """Per settled round: the map, the tokens issued and the spends its settlements carried."""
        maps = {r["number"]: r["map"] for r in self.report["rounds"]}
        rounds = {}
        for settlement in self.report["settlements"]:
            entry = rounds.setdefault(settlement["round"], {"round": settlement["round"], "issued": 0, "spent": 0,
                                                            "map": maps.get(settlement["logRound"], "")})
            entry["issued"] += sum(int(reward["amount"]) for reward in settlement["rewards"])
            entry["spent"] += sum(int(spend["amount"]) for spend in settlement["spends"])
        return [rounds[number] for number in sorted(rounds)]

    def refusals(self):
        """Combat events refused per rule, with the share of all combat events the plugin judged."""
        by_rule = {}
        judged = 0
        for r in self.report["rounds"]:
            judged += r["killsCredited"] + r["attacksCredited"]
            for tally in (r["killRefusals"], r["damageRefusals"]):
                for rule, count in tally.items():
                    by_rule[rule] = by_rule.get(rule, 0) + count
                    judged += count
        return [(rule, count, count / judged if judged else 0.0)
                for rule, count in sorted(by_rule.items(), key=lambda item: -item[1])]

    def total_issued(self):
        return sum(row["issued"] for row in self.rounds())

    def as_json(self):
        return {"label": self.label, "players": self.players(), "rounds": self.rounds(),
                "refusals": [{"rule": rule, "count": count, "share": share} for rule, count, share in self.refusals()],
                "totalIssued": self.total_issued(), "settlements": len(self.report["settlements"]),
                "simulatorExitStatus": self.code}


def _what_if_rows(runs):
    base = runs[0]
    base_players = {p["steamId"]: p for p in base.players()}
    rows = []
    for run in runs[1:]:
        changes = []
        for player in run.players():
            before = base_players.get(player["steamId"], {"earned": 0})["earned"]
            if player["earned"] != before:
                changes.append("%s %+d" % (player["name"] or player["steamId"], player["earned"] - before))
        rows.append((run.label, base.total_issued(), run.total_issued(), ", ".join(changes) or "no player changes"))
    return rows


def dry_run_text(runs):
    base = runs[0]
    out = "== Dry-run: %d rounds settled, %d settlements, %d tokens issued\n" % (
        len(base.rounds()), len(base.report["settlements"]), base.total_issued())
    out += "== Tokens per player\n" + text_table(
        ["player", "steam id", "earned", "spent", "net", "kills paid", "kills logged"],
        [[p["name"], p["steamId"], p["earned"], p["spent"], p["net"], p["kills"], p["loggedKills"]]
         for p in base.players()])
    out += "== Tokens per round\n" + text_table(
        ["round", "map", "issued", "spent"], [[r["round"], r["map"], r["issued"], r["spent"]] for r in base.rounds()])
    refusals = base.refusals()
    out += "== Refused by anti-farm rule (share of kills and hits judged)\n"
    out += text_table(["rule", "refused", "share"], [[rule, count, "%.1f%%" % (share * 100)]
                                                      for rule, count, share in refusals]) if refusals else "   none\n"
    if len(runs) > 1:
        out += "== What changing a setting would change (tokens issued)\n" + text_table(
            ["setting", "as configured", "changed", "per player"], [list(row) for row in _what_if_rows(runs)])
    if base.code != 0:
        out += "== Note: the simulator reported faults (exit status %d); see its output\n" % base.code
    return out


def _chart(rounds):
    width = max(320, 48 + 34 * len(rounds))
    height = 220
    top = max([r["issued"] for r in rounds] + [1])
    parts = ['<svg id="issued-per-round" xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" '
             'role="img" aria-label="Tokens issued per round">' % (width, height),
             '<line x1="40" y1="180" x2="%d" y2="180" stroke="#888"/>' % (width - 8),
             '<text x="36" y="24" text-anchor="end" class="axis">%d</text>' % top,
             '<text x="36" y="184" text-anchor="end" class="axis">0</text>']
    for index, entry in enumerate(rounds):
        bar = round(150 * entry["issued"] / top)
        x = 48 + 34 * index
        parts.append('<rect class="bar" data-round="%d" data-issued="%d" x="%d" y="%d" width="24" height="%d" '
                     'fill="%s"><title>round %d: %d tokens</title></rect>'
                     % (entry["round"], entry["issued"], x, 180 - bar, bar, BAR_COLOUR, entry["round"],
                        entry["issued"]))
        parts.append('<text x="%d" y="198" text-anchor="middle" class="axis">%d</text>' % (x + 12, entry["round"]))
    parts.append("</svg>")
    return "".join(parts)


def _table(table_id, headers, rows, numeric_from=2):
    head = "".join("<th>%s</th>" % html.escape(str(h)) for h in headers)
    body = []
    for row in rows:
        cells = "".join('<td%s>%s</td>' % (' class="num"' if i >= numeric_from else "", html.escape(str(cell)))
                        for i, cell in enumerate(row))
        body.append("<tr>%s</tr>" % cells)
    return '<table id="%s"><thead><tr>%s</tr></thead><tbody>%s</tbody></table>' % (table_id, head, "".join(body))


def dry_run_html(runs, logs):
    base = runs[0]
    rounds = base.rounds()
    sections = [
        "<h2>Tokens per player</h2>",
        _table("players", ["player", "steam id", "earned", "spent", "net", "kills paid", "kills logged"],
               [[p["name"], p["steamId"], p["earned"], p["spent"], p["net"], p["kills"], p["loggedKills"]]
                for p in base.players()]),
        "<h2>Tokens issued per round</h2>", _chart(rounds),
        "<h2>Refused by anti-farm rule</h2>",
        _table("refusals", ["rule", "refused", "share"],
               [[rule, count, "%.1f%%" % (share * 100)] for rule, count, share in base.refusals()], numeric_from=1),
    ]
    if len(runs) > 1:
        sections += ["<h2>What changing a setting would change</h2>",
                     _table("what-if", ["setting", "issued as configured", "issued changed", "per player"],
                            _what_if_rows(runs), numeric_from=1)]
    style = ("body{font:14px/1.4 system-ui,sans-serif;margin:2em;color:#1a202c}"
             "table{border-collapse:collapse;margin:.5em 0 1.5em}"
             "th,td{border:1px solid #cbd5e0;padding:.25em .6em;text-align:left}"
             "td.num{text-align:right;font-variant-numeric:tabular-nums}th{background:#edf2f7}"
             ".axis{font-size:11px;fill:#4a5568}.meta{color:#4a5568}")
    return ("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
            "<title>Iron-Post economy dry-run</title><style>%s</style></head><body>"
            "<h1>Iron-Post economy dry-run</h1><p class=\"meta\">Logs: %s. %d rounds settled, %d settlements, "
            "%d tokens issued. Purchases are simulated: logs do not record them.</p>%s</body></html>\n"
            % (style, html.escape(", ".join(logs)), len(rounds), len(base.report["settlements"]),
               base.total_issued(), "".join(sections)))
