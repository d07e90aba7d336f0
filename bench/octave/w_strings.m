n = 100000; tic;
s = cell(1, n);
for i = 1:n
  s{i} = ["item" num2str(i - 1)];
end
p = cellfun(@(x) firstpos(x), s);
m = cellfun(@(x) x(3:min(5, end)), s, 'UniformOutput', false);
t = toc;
report(t, sum(p) + sum(cellfun(@numel, m)));
