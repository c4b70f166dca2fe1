"""The training losses and the held-out metrics (PyTorch)."""

from velmar.learning.window import batch_arrays

ILLEGAL = -1e9  # logit given to illegal tiles before the softmax
EVAL_BATCH = 512


def policy_loss(logits, legal, target):
    """Mean cross-entropy of the logits, softmaxed over the legal tiles,
    against the visit shares (illegal logits have no effect)."""
    import torch
    logp = torch.log_softmax(logits.masked_fill(~legal, ILLEGAL), dim=1)
    return -(target * logp).sum(dim=1).mean()


def value_loss(value_logits, payoff):
    import torch
    return -(payoff * torch.log_softmax(value_logits, dim=1)).sum(dim=1).mean()


def l2_penalty(net, weight_decay):
    total = sum((p * p).sum() for name, p in net.named_parameters() if name.endswith("weight"))
    return 0.5 * weight_decay * total


def losses(net, planes, legal, target, payoff, weight_decay, value_weight=1.0):
    """The training losses of one batch, as tensors: loss, policy, value, l2."""
    logits, value_logits = net(planes)
    out = {"policy": policy_loss(logits, legal, target),
           "value": value_loss(value_logits, payoff),
           "l2": l2_penalty(net, weight_decay)}
    out["loss"] = out["policy"] + value_weight * out["value"] + out["l2"]
    return out


def tensors(torch, device, planes, policy, payoff):
    x = torch.from_numpy(planes).to(device)
    legal = x[:, 4].flatten(1) > 0.5
    return x, legal, torch.from_numpy(policy).to(device), torch.from_numpy(payoff).to(device)


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
            logits, value_logits = net(x)
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
