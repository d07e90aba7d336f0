m = int64(2147483647); n = 1000000;
st = zeros(1, n, 'int64'); st(1) = mod(int64(16807), m); filled = 1;
while filled < n
  mk = int64(1); base = int64(16807); e = filled;
  while e > 0
    if mod(e, 2) == 1, mk = mod(mk * base, m); end
    base = mod(base * base, m); e = floor(e / 2);
  end
  take = min(filled, n - filled);
  st(filled+1:filled+take) = mod(st(1:take) * mk, m);
  filled = filled + take;
end
a = single(st) / single(2147483648);
tic; [v, s] = sort(a); t = toc;
s = s - 1;
report(t, s(1) + s(500001) + s(1000000));
