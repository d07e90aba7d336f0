function p = firstpos(x)
  k = strfind(x, "99");
  if isempty(k), p = -1; else p = k(1) - 1; end
end
