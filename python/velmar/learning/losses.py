"""The training losses and the held-out metrics (PyTorch)."""

import numpy as np

from velmar.learning import metrics
from velmar.learning.window import batch_arrays

ILLEGAL = -1e9  # logit given to illegal tiles before the softmax
EVAL_BATCH = 512


def policy_loss(logits, legal, target, mask=None):
    """Mean cross-entropy of the logits, softmaxed over the legal tiles,
    against the visit shares (illegal logits have no effect). With ``mask``
    (bool per row), the mean over the rows it marks only: a row whose visit
    shares come from a reduced search teaches the value, not the policy."""
    import torch
    logp = torch.log_softmax(logits.masked_fill(~legal, ILLEGAL), dim=1)
    ce = -(target * logp).sum(dim=1)
    if mask is None:
        return ce.mean()
    mask = mask.to(ce.dtype)
    return (ce * mask).sum() / mask.sum().clamp(min=1.0)


def value_loss(value_logits, payoff):
    import torch
    return -(payoff * torch.log_softmax(value_logits, dim=1)).sum(dim=1).mean()


def l2_penalty(net, weight_decay):
    """weight_decay / 2 times the sum of the squares of every parameter,
    biases included: the per-cell policy bias above all, which nothing else
    holds back from running away."""
    total = sum((p * p).sum() for p in net.parameters())
    return 0.5 * weight_decay * total


def _masked_mean(per_row, mask):
    mask = mask.to(per_row.dtype)
    return (per_row * mask).sum() / mask.sum().clamp(min=1.0)


def ownership_loss(owner_logits, owner, mask):
    """Cross-entropy of the ownership logits (B, 5, 400) against the final
    owners (B, 400, classes 0..4), the mean over cells, then over the rows
    ``mask`` marks."""
    import torch
    ce = torch.nn.functional.cross_entropy(owner_logits, owner.long(), reduction="none")
    return _masked_mean(ce.mean(dim=1), mask)


def score_loss(score, target, mask):
    """Squared error of the predicted scores, the mean over the four, then
    over the rows ``mask`` marks."""
    return _masked_mean(((score - target) ** 2).mean(dim=1), mask)


def losses(net, planes, legal, target, payoff, weight_decay, value_weight=1.0, policy_mask=None,
           seats=None, aux=None, aux_weights=(0.5, 0.5)):
    """The training losses of one batch, as tensors: loss, policy, value, l2.
    ``policy_mask``: the rows whose policy target counts (default: all);
    ``seats``: the movers' seats (what a canonical network turns the planes
    by, and takes as input; the logits come back on the board, so the
    targets are compared as they are). ``aux`` (a network with auxiliary
    heads): the tensors (score_mover, owner_mover, valid rows), whose losses
    ``ownership`` and ``score`` enter the total with ``aux_weights``."""
    logits, value_logits, owner_logits, score = net.forward_all(planes, seats)
    out = {"policy": policy_loss(logits, legal, target, policy_mask),
           "value": value_loss(value_logits, payoff),
           "l2": l2_penalty(net, weight_decay)}
    out["loss"] = out["policy"] + value_weight * out["value"] + out["l2"]
    if aux is not None:
        score_target, owner, valid = aux
        out["ownership"] = ownership_loss(owner_logits, owner, valid)
        out["score"] = score_loss(score, score_target, valid)
        out["loss"] = out["loss"] + aux_weights[0] * out["ownership"] \
            + aux_weights[1] * out["score"]
    return out


def aux_tensors(torch, device, score, owner, valid):
    return tuple(torch.from_numpy(np.ascontiguousarray(a)).to(device)
                 for a in (score, owner, valid))


def evaluate_aux(net, win, rows, device):
    """Held-out metrics of the auxiliary heads on the valid rows of ``rows``:
    ownership cross-entropy and per-cell accuracy, score squared error
    beside predicting 0 (every score at the game's mean)."""
    import torch
    sums = dict.fromkeys(("ownership_ce", "ownership_accuracy", "score_mse", "score_mse_zero"),
                         0.0)
    n = 0
    was_training = net.training
    net.eval()
    with torch.no_grad():
        for i in range(0, len(rows), EVAL_BATCH):
            idx = rows[i:i + EVAL_BATCH]
            arrays = batch_arrays(win, idx, aux=True)
            x = torch.from_numpy(arrays[0]).to(device)
            score_t, owner, valid = aux_tensors(torch, device, *arrays[3:])
            _, _, owner_logits, score = net.forward_all(x, seats(torch, device, win, idx))
            k = float(valid.sum())
            n += k
            sums["ownership_ce"] += k * float(ownership_loss(owner_logits, owner, valid))
            hit = (owner_logits.argmax(dim=1) == owner.long()).float().mean(dim=1)
            sums["ownership_accuracy"] += float((hit * valid).sum())
            sums["score_mse"] += k * float(score_loss(score, score_t, valid))
            sums["score_mse_zero"] += k * float(score_loss(torch.zeros_like(score), score_t,
                                                           valid))
    net.train(was_training)
    return {k: round(v / max(n, 1.0), 6) for k, v in sums.items()}


def tensors(torch, device, planes, policy, payoff):
    x = torch.from_numpy(planes).to(device)
    legal = x[:, 4].flatten(1) > 0.5
    return x, legal, torch.from_numpy(policy).to(device), torch.from_numpy(payoff).to(device)


def seats(torch, device, win, idx):
    """The movers' seats of the window's rows ``idx``, as a tensor."""
    return torch.from_numpy(win.player[idx].astype("int64")).to(device)


def evaluate(net, win, rows, device):
    """Held-out metrics of the network on rows ``rows`` (None if empty)."""
    import torch
    if len(rows) == 0:
        return None
    sums = dict(policy_ce=0.0, policy_top1=0.0, policy_top1_uniform=0.0, value_ce=0.0,
                value_mse=0.0, value_mse_uniform=0.0)
    with_policy = 0
    was_training = net.training
    net.eval()
    with torch.no_grad():
        for i in range(0, len(rows), EVAL_BATCH):
            idx = rows[i:i + EVAL_BATCH]
            x, legal, target, payoff = tensors(torch, device, *batch_arrays(win, idx))
            logits, value_logits = net(x, seats(torch, device, win, idx))
            logp = torch.log_softmax(logits.masked_fill(~legal, ILLEGAL), dim=1)
            has = target.sum(dim=1) > 0
            pick = logp.argmax(dim=1, keepdim=True)
            best = target.max(dim=1).values
            sums["policy_ce"] += float(-(target * logp).sum())
            is_best = (target >= best[:, None]) & legal & has[:, None]
            sums["policy_top1"] += float(is_best.gather(1, pick).sum())
            share = is_best.sum(dim=1) / legal.sum(dim=1).clamp(min=1)
            sums["policy_top1_uniform"] += float(share.sum())
            with_policy += int(has.sum())
            v = torch.softmax(value_logits, dim=1)
            sums["value_ce"] += float(-(payoff * torch.log(v.clamp(min=1e-12))).sum())
            sums["value_mse"] += float(((v - payoff) ** 2).mean(dim=1).sum())
            sums["value_mse_uniform"] += float(((payoff - 0.25) ** 2).mean(dim=1).sum())
    net.train(was_training)
    n = len(rows)
    out = {k: v / n for k, v in sums.items()}
    out["policy_ce"] = sums["policy_ce"] / max(with_policy, 1)
    out["policy_top1"] = sums["policy_top1"] / max(with_policy, 1)
    out["policy_top1_uniform"] = sums["policy_top1_uniform"] / max(with_policy, 1)
    out["rows"] = n
    return {k: (round(v, 6) if isinstance(v, float) else v) for k, v in out.items()}


def outputs(net, win, rows, device):
    """The network's policy logits (N, 400) and mover-relative values (N, 4,
    a softmax) on the window's rows ``rows``, as NumPy arrays."""
    import numpy as np
    import torch
    logits, values = [], []
    was_training = net.training
    net.eval()
    with torch.no_grad():
        for i in range(0, len(rows), EVAL_BATCH):
            idx = rows[i:i + EVAL_BATCH]
            x, _, _, _ = tensors(torch, device, *batch_arrays(win, idx))
            lg, v = net(x, seats(torch, device, win, idx))
            logits.append(lg.float().cpu().numpy())
            values.append(torch.softmax(v, dim=1).float().cpu().numpy())
    net.train(was_training)
    if not logits:
        return np.zeros((0, 400), np.float32), np.zeros((0, 4), np.float32)
    return np.concatenate(logits), np.concatenate(values)


def _rounded(x):
    if isinstance(x, dict):
        return {k: _rounded(v) for k, v in x.items()}
    return round(x, 6) if isinstance(x, float) else x


def honest_metrics(net, win, held_rows, seats, device):
    """The held-out metrics of ``velmar.learning.metrics`` (decision rows
    only; the value beside the seat-only predictor ``seats``, by phase), or
    None without held-out rows."""
    if len(held_rows) == 0:
        return None
    logits, values = outputs(net, win, held_rows, device)
    rows = win.rows(held_rows)
    return _rounded({"policy": metrics.policy_metrics(logits, rows),
                     "value": metrics.value_metrics(values, rows, seats)})
